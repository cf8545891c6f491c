// Archives over one description of an object's state.
//
// A class describes its state once, as a member template
//     template <class Ar> void visit(Ar& ar) { ar("name", field); ... }
// (or, for plain structs, a free `visit(Ar&, T&)` found by argument-dependent lookup) naming
// every field that decides its future behaviour, in a fixed order. Three archives walk that one
// description:
//   Writer     appends the fields' bytes (fixed-width little-endian integers, doubles as their
//              IEEE-754 bits, lengths as 64-bit counts);
//   Reader     rebuilds the fields from bytes, checking every length against the bytes that
//              remain before allocating, and throws FormatError on anything that cannot hold;
//   Describer  turns the fields into plain Python data (dicts, lists, numbers, strings).
// Each container has one routine here (`io`) that serves all three archives.
//
// Caches that a class rebuilds on demand (positions of a record's keys, pointers into its own
// tables) are not state: a class's visit leaves them out and, when reading, marks them stale.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <pybind11/pybind11.h>

namespace kavro::state {

namespace py = pybind11;

static_assert(sizeof(double) == 8 && std::numeric_limits<double>::is_iec559,
              "doubles must be IEEE-754 binary64");
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the state format is written on little-endian hosts only"
#endif

// A state that cannot be read: Python sees ValueError with this message.
class FormatError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// Nesting deeper than this (objects inside objects, tree levels) is refused on reading and on
// writing, so neither can exhaust the stack.
constexpr int kMaxNesting = 4000;

enum class Mode { write, read, describe };

class Writer;
class Reader;
class Describer;

// Objects held through an interface (a pipeline's steps and learner) are written by class
// name through this hook, set by the module that knows every class.
struct ObjectCodec {
    virtual ~ObjectCodec() = default;
    // Appends a reference to the object behind `obj` (never null).
    virtual void write_ref(Writer& w, const void* most_derived, const std::type_info& type) = 0;
    // Reads a reference; returns the object as a shared_ptr to its most-derived class, erased,
    // with its Python-visible class name, which the caller checks against the interface.
    virtual std::shared_ptr<void> read_ref(Reader& r, std::string& class_name) = 0;
    virtual py::object describe_ref(const void* most_derived, const std::type_info& type) = 0;
};

class Writer {
public:
    static constexpr Mode mode = Mode::write;

    template <class T>
    void operator()(const char* /*name*/, T& value);

    void put_raw(const void* data, std::size_t n) {
        if (n == 0) return;  // data may be null (an empty vector's)
        out.append(static_cast<const char*>(data), n);
    }
    template <class U>
    void put(U v) {
        static_assert(std::is_arithmetic_v<U>);
        put_raw(&v, sizeof(U));
    }
    void put_count(std::size_t n) { put<std::uint64_t>(n); }

    std::string out;
    ObjectCodec* codec = nullptr;
    int depth = 0;
};

class Reader {
public:
    static constexpr Mode mode = Mode::read;

    Reader(const unsigned char* data, std::size_t size)
        : bucket_allowance(std::max<std::size_t>(std::size_t(1) << 22, size * 8)),
          p_(data),
          end_(data + size) {}

    template <class T>
    void operator()(const char* /*name*/, T& value);

    std::size_t remaining() const { return static_cast<std::size_t>(end_ - p_); }
    void need(std::size_t n) const {
        if (remaining() < n) throw FormatError("truncated state: the payload ends inside a field");
    }
    void get_raw(void* data, std::size_t n) {
        need(n);
        if (n == 0) return;  // data may be null (an empty vector's)
        std::memcpy(data, p_, n);
        p_ += n;
    }
    template <class U>
    U get() {
        static_assert(std::is_arithmetic_v<U>);
        U v;
        get_raw(&v, sizeof(U));
        return v;
    }
    // A count of items that each take at least `min_bytes` bytes: never more than the bytes left
    // can hold, so nothing is allocated beyond what the input justifies.
    std::size_t get_count(std::size_t min_bytes) {
        const std::uint64_t n = get<std::uint64_t>();
        const std::size_t per = min_bytes == 0 ? 1 : min_bytes;
        if (n > remaining() / per) {
            throw FormatError("corrupt state: a count of " + std::to_string(n) +
                              " items exceeds the bytes that remain");
        }
        return static_cast<std::size_t>(n);
    }
    // How many of `n` elements to reserve room for at once: no more than the bytes that remain
    // would take in memory, so a forged count cannot make loading allocate far beyond the input
    // (the elements past it are added one by one, each consuming input).
    template <class T>
    std::size_t reservable(std::size_t n) const {
        return std::min(n, remaining() / sizeof(T) + 1);
    }
    // A check of the structure; fails with `what`.
    void require(bool ok, const char* what) const {
        if (!ok) throw FormatError(std::string("corrupt state: ") + what);
    }
    const unsigned char* position() const { return p_; }

    ObjectCodec* codec = nullptr;
    int depth = 0;
    // Buckets that hash tables of this state may hold beyond what their entries need (tables
    // emptied after growing), shared by every table read: one budget per load.
    std::size_t bucket_allowance;

private:
    const unsigned char* p_;
    const unsigned char* end_;
};

class Describer {
public:
    static constexpr Mode mode = Mode::describe;

    template <class T>
    void operator()(const char* name, T& value);

    // The value of the last io call.
    py::object result;
    // The dict that fields of the object being described go into.
    py::dict fields;
    ObjectCodec* codec = nullptr;
    int depth = 0;
};

// Reader-side checks written once in a visit; no-ops for the other archives.
template <class Ar>
inline void require(Ar& ar, bool ok, const char* what) {
    if constexpr (Ar::mode == Mode::read) ar.require(ok, what);
}

// Guards one level of nesting.
template <class Ar>
class Nested {
public:
    explicit Nested(Ar& ar) : ar_(ar) {
        if (++ar_.depth > kMaxNesting) {
            --ar_.depth;
            if constexpr (Ar::mode == Mode::read) {
                throw FormatError("corrupt state: nesting deeper than the format allows");
            } else {
                throw std::length_error("object nested too deeply to be saved");
            }
        }
    }
    ~Nested() { --ar_.depth; }
    Nested(const Nested&) = delete;
    Nested& operator=(const Nested&) = delete;

private:
    Ar& ar_;
};

// ---------------------------------------------------------------------------
// Construction of values being read. Types without a default constructor specialise this.

template <class T>
struct Construct {
    static T make() { return T(); }
    static std::unique_ptr<T> make_unique() { return std::make_unique<T>(); }
};

// ---------------------------------------------------------------------------
// Bucket counts of the standard unordered containers.

// True when `n` is a bucket count an unordered container of this library can have.
bool valid_bucket_count(std::size_t n);

// ---------------------------------------------------------------------------
// The routines, one per kind of field.

template <class Ar, class T>
void io(Ar& ar, T& v);

namespace detail {

template <class T, class Ar, class = void>
struct has_member_visit : std::false_type {};
template <class T, class Ar>
struct has_member_visit<T, Ar, std::void_t<decltype(std::declval<T&>().visit(std::declval<Ar&>()))>>
    : std::true_type {};

template <class Ar>
inline py::object describe_key(const std::string& k) {
    return py::str(py::bytes(k).attr("decode")("utf-8", "backslashreplace"));
}
template <class Ar, class K>
inline py::object describe_key(const K& k) {
    Describer d;
    K copy = k;
    io(d, copy);
    return py::str(d.result);
}

}  // namespace detail

// Scalars: integers and enums at their own width, doubles as IEEE bits, bools as one byte.
template <class Ar, class T>
void io_scalar(Ar& ar, T& v) {
    if constexpr (std::is_enum_v<T>) {
        using U = std::underlying_type_t<T>;
        U u = static_cast<U>(v);
        io_scalar(ar, u);
        v = static_cast<T>(u);
    } else if constexpr (std::is_same_v<T, bool>) {
        if constexpr (Ar::mode == Mode::write) {
            ar.template put<std::uint8_t>(v ? 1 : 0);
        } else if constexpr (Ar::mode == Mode::read) {
            const auto b = ar.template get<std::uint8_t>();
            ar.require(b <= 1, "a boolean field holds a value other than 0 or 1");
            v = b == 1;
        } else {
            ar.result = py::bool_(v);
        }
    } else {
        static_assert(std::is_arithmetic_v<T>);
        if constexpr (Ar::mode == Mode::write) {
            ar.put(v);
        } else if constexpr (Ar::mode == Mode::read) {
            v = ar.template get<T>();
        } else if constexpr (std::is_floating_point_v<T>) {
            ar.result = py::float_(static_cast<double>(v));
        } else {
            ar.result = py::int_(v);
        }
    }
}

template <class Ar>
void io_string(Ar& ar, std::string& s) {
    if constexpr (Ar::mode == Mode::write) {
        ar.put_count(s.size());
        ar.put_raw(s.data(), s.size());
    } else if constexpr (Ar::mode == Mode::read) {
        const std::size_t n = ar.get_count(1);
        s.resize(n);
        ar.get_raw(s.data(), n);
    } else {
        ar.result = detail::describe_key<Ar>(s);
    }
}

// Sequences: a count, then the elements in order. Arithmetic elements are copied in bulk.
template <class Ar, class Seq>
void io_sequence(Ar& ar, Seq& seq) {
    using T = typename Seq::value_type;
    constexpr bool bulk = std::is_arithmetic_v<T> && !std::is_same_v<T, bool> &&
                          std::is_same_v<Seq, std::vector<T>>;
    if constexpr (Ar::mode == Mode::write) {
        ar.put_count(seq.size());
        if constexpr (bulk) {
            ar.put_raw(seq.data(), seq.size() * sizeof(T));
        } else {
            for (auto& e : seq) io(ar, const_cast<T&>(e));
        }
    } else if constexpr (Ar::mode == Mode::read) {
        const std::size_t n = ar.get_count(bulk ? sizeof(T) : 1);
        Seq fresh;
        if constexpr (bulk) {
            fresh.resize(n);
            ar.get_raw(fresh.data(), n * sizeof(T));
        } else {
            if constexpr (std::is_same_v<Seq, std::vector<T>>) fresh.reserve(ar.template reservable<T>(n));
            for (std::size_t i = 0; i < n; ++i) {
                fresh.push_back(Construct<T>::make());
                io(ar, fresh.back());
            }
        }
        seq = std::move(fresh);
    } else {
        py::list out;
        for (auto& e : seq) {
            io(ar, const_cast<T&>(e));
            out.append(ar.result);
        }
        ar.result = out;
    }
}

template <class Ar>
void io_bool_vector(Ar& ar, std::vector<bool>& v) {
    if constexpr (Ar::mode == Mode::write) {
        ar.put_count(v.size());
        for (bool b : v) ar.template put<std::uint8_t>(b ? 1 : 0);
    } else if constexpr (Ar::mode == Mode::read) {
        const std::size_t n = ar.get_count(1);
        std::vector<bool> fresh(n);
        for (std::size_t i = 0; i < n; ++i) {
            bool b = false;
            io_scalar(ar, b);
            fresh[i] = b;
        }
        v = std::move(fresh);
    } else {
        py::list out;
        for (bool b : v) out.append(py::bool_(b));
        ar.result = out;
    }
}

// Ordered sets and maps: a count, then the elements in order (strictly increasing on reading).
template <class Ar, class Set>
void io_ordered_set(Ar& ar, Set& set) {
    using K = typename Set::key_type;
    if constexpr (Ar::mode == Mode::write) {
        ar.put_count(set.size());
        for (const auto& k : set) io(ar, const_cast<K&>(k));
    } else if constexpr (Ar::mode == Mode::read) {
        const std::size_t n = ar.get_count(1);
        Set fresh;
        for (std::size_t i = 0; i < n; ++i) {
            K k = Construct<K>::make();
            io(ar, k);
            ar.require(fresh.empty() || fresh.key_comp()(*fresh.rbegin(), k),
                       "the keys of an ordered set are not strictly increasing");
            fresh.emplace_hint(fresh.end(), std::move(k));
        }
        set = std::move(fresh);
    } else {
        py::list out;
        for (const auto& k : set) {
            io(ar, const_cast<K&>(k));
            out.append(ar.result);
        }
        ar.result = out;
    }
}

template <class Ar, class Map>
void io_ordered_map(Ar& ar, Map& map) {
    using K = typename Map::key_type;
    using V = typename Map::mapped_type;
    if constexpr (Ar::mode == Mode::write) {
        ar.put_count(map.size());
        for (auto& kv : map) {
            io(ar, const_cast<K&>(kv.first));
            io(ar, kv.second);
        }
    } else if constexpr (Ar::mode == Mode::read) {
        const std::size_t n = ar.get_count(2);
        Map fresh;
        for (std::size_t i = 0; i < n; ++i) {
            K k = Construct<K>::make();
            io(ar, k);
            ar.require(fresh.empty() || fresh.key_comp()(fresh.rbegin()->first, k),
                       "the keys of an ordered map are not strictly increasing");
            auto it = fresh.emplace_hint(fresh.end(), std::move(k), Construct<V>::make());
            io(ar, it->second);
        }
        map = std::move(fresh);
    } else {
        py::dict out;
        for (auto& kv : map) {
            py::object key = detail::describe_key<Ar>(kv.first);
            io(ar, kv.second);
            out[key] = ar.result;
        }
        ar.result = out;
    }
}

// Unordered containers: the bucket count, a count, then the entries in iteration order. On
// reading, a fresh container is rehashed to that bucket count and the entries are inserted in
// reverse iteration order: with the bucket count fixed, each insertion goes to the front of its
// bucket's run (or of the whole list when its bucket is empty), so the reverse order rebuilds
// the same sequence, and the container then grows exactly as the original would.
template <class Ar, class Map>
void io_unordered(Ar& ar, Map& map) {
    using K = typename Map::key_type;
    constexpr bool is_map = !std::is_same_v<typename Map::value_type, K>;
    if constexpr (Ar::mode == Mode::write) {
        ar.put_count(map.bucket_count());
        ar.put_count(map.size());
        for (auto& e : map) {
            if constexpr (is_map) {
                io(ar, const_cast<K&>(e.first));
                io(ar, e.second);
            } else {
                io(ar, const_cast<K&>(e));
            }
        }
    } else if constexpr (Ar::mode == Mode::read) {
        const std::size_t buckets = static_cast<std::size_t>(ar.template get<std::uint64_t>());
        const std::size_t n = ar.get_count(1);
        ar.require(valid_bucket_count(buckets),
                   "a hash table's bucket count is not one the standard containers use");
        const std::size_t needed = 2 * n + 16;
        if (buckets > needed) {
            ar.require(buckets - needed <= ar.bucket_allowance,
                       "hash tables hold far more buckets than the state justifies");
            ar.bucket_allowance -= buckets - needed;
        }
        ar.require(n <= buckets, "a hash table holds more entries than its buckets allow");
        std::vector<typename std::conditional_t<
            is_map, std::pair<K, typename Map::mapped_type>, K>> entries;
        entries.reserve(ar.template reservable<typename decltype(entries)::value_type>(n));
        for (std::size_t i = 0; i < n; ++i) {
            if constexpr (is_map) {
                entries.emplace_back(Construct<K>::make(),
                                     Construct<typename Map::mapped_type>::make());
                io(ar, entries.back().first);
                io(ar, entries.back().second);
            } else {
                entries.push_back(Construct<K>::make());
                io(ar, entries.back());
            }
        }
        Map fresh;  // one bucket while empty and never grown
        if (buckets != 1) fresh.rehash(buckets);
        ar.require(fresh.bucket_count() == buckets,
                   "a hash table's bucket count is not one the standard containers use");
        for (std::size_t i = n; i-- > 0;) {
            const bool inserted = fresh.insert(std::move(entries[i])).second;
            ar.require(inserted, "a hash table holds the same key twice");
        }
        ar.require(fresh.bucket_count() == buckets, "a hash table's entries disagree with its size");
        map = std::move(fresh);
    } else {
        if constexpr (is_map) {
            py::dict out;
            for (auto& e : map) {
                py::object key = detail::describe_key<Ar>(e.first);
                io(ar, e.second);
                out[key] = ar.result;
            }
            ar.result = out;
        } else {
            py::list out;
            for (auto& e : map) {
                io(ar, const_cast<K&>(e));
                out.append(ar.result);
            }
            ar.result = out;
        }
    }
}

// An owned object that may be absent: a presence byte, then the object.
template <class Ar, class T>
void io_unique(Ar& ar, std::unique_ptr<T>& p) {
    if constexpr (Ar::mode == Mode::write) {
        ar.template put<std::uint8_t>(p ? 1 : 0);
        if (p) {
            Nested<Ar> guard(ar);
            io(ar, *p);
        }
    } else if constexpr (Ar::mode == Mode::read) {
        bool present = false;
        io_scalar(ar, present);
        if (!present) {
            p.reset();
            return;
        }
        Nested<Ar> guard(ar);
        auto fresh = Construct<T>::make_unique();
        io(ar, *fresh);
        p = std::move(fresh);
    } else {
        if (!p) {
            ar.result = py::none();
            return;
        }
        Nested<Ar> guard(ar);
        io(ar, *p);
    }
}

// The full state of a 32-bit Mersenne Twister: its 624 words and its position.
template <class Ar>
void io_mt19937(Ar& ar, std::mt19937& rng);

template <class Ar, class A, class B>
void io_pair(Ar& ar, std::pair<A, B>& p) {
    if constexpr (Ar::mode == Mode::describe) {
        py::list out;
        io(ar, p.first);
        out.append(ar.result);
        io(ar, p.second);
        out.append(ar.result);
        ar.result = out;
    } else {
        io(ar, p.first);
        io(ar, p.second);
    }
}

template <class Ar, class T, std::size_t N>
void io_array(Ar& ar, std::array<T, N>& a) {
    if constexpr (Ar::mode == Mode::describe) {
        py::list out;
        for (auto& e : a) {
            io(ar, e);
            out.append(ar.result);
        }
        ar.result = out;
    } else {
        for (auto& e : a) io(ar, e);
    }
}

// A struct: its own visit, each field described into a dict.
template <class Ar, class T>
void io_struct(Ar& ar, T& v) {
    if constexpr (Ar::mode == Mode::describe) {
        py::dict saved = ar.fields;
        ar.fields = py::dict();
        if constexpr (detail::has_member_visit<T, Ar>::value) {
            v.visit(ar);
        } else {
            visit(ar, v);
        }
        ar.result = ar.fields;
        ar.fields = saved;
    } else if constexpr (detail::has_member_visit<T, Ar>::value) {
        v.visit(ar);
    } else {
        visit(ar, v);
    }
}

template <class T>
struct is_std_vector : std::false_type {};
template <class T, class A>
struct is_std_vector<std::vector<T, A>> : std::true_type {};
template <class T>
struct is_std_deque : std::false_type {};
template <class T, class A>
struct is_std_deque<std::deque<T, A>> : std::true_type {};
template <class T>
struct is_ordered_set : std::false_type {};
template <class K, class C, class A>
struct is_ordered_set<std::set<K, C, A>> : std::true_type {};
template <class T>
struct is_ordered_map : std::false_type {};
template <class K, class V, class C, class A>
struct is_ordered_map<std::map<K, V, C, A>> : std::true_type {};
template <class T>
struct is_unordered : std::false_type {};
template <class K, class V, class H, class E, class A>
struct is_unordered<std::unordered_map<K, V, H, E, A>> : std::true_type {};
template <class K, class H, class E, class A>
struct is_unordered<std::unordered_set<K, H, E, A>> : std::true_type {};
template <class T>
struct is_unique_ptr : std::false_type {};
template <class T>
struct is_unique_ptr<std::unique_ptr<T>> : std::true_type {};
template <class T>
struct is_pair : std::false_type {};
template <class A, class B>
struct is_pair<std::pair<A, B>> : std::true_type {};
template <class T>
struct is_std_array : std::false_type {};
template <class T, std::size_t N>
struct is_std_array<std::array<T, N>> : std::true_type {};

// Objects held through an interface pointer; defined by the module that knows every class.
template <class Ar, class Interface>
void io_object_ref(Ar& ar, std::shared_ptr<Interface>& p);

template <class T>
struct is_shared_ptr : std::false_type {};
template <class T>
struct is_shared_ptr<std::shared_ptr<T>> : std::true_type {};

template <class Ar, class T>
void io(Ar& ar, T& v) {
    if constexpr (std::is_arithmetic_v<T> || std::is_enum_v<T>) {
        io_scalar(ar, v);
    } else if constexpr (std::is_same_v<T, std::string>) {
        io_string(ar, v);
    } else if constexpr (std::is_same_v<T, std::vector<bool>>) {
        io_bool_vector(ar, v);
    } else if constexpr (is_std_vector<T>::value || is_std_deque<T>::value) {
        io_sequence(ar, v);
    } else if constexpr (is_ordered_set<T>::value) {
        io_ordered_set(ar, v);
    } else if constexpr (is_ordered_map<T>::value) {
        io_ordered_map(ar, v);
    } else if constexpr (is_unordered<T>::value) {
        io_unordered(ar, v);
    } else if constexpr (is_unique_ptr<T>::value) {
        io_unique(ar, v);
    } else if constexpr (is_shared_ptr<T>::value) {
        io_object_ref(ar, v);
    } else if constexpr (is_pair<T>::value) {
        io_pair(ar, v);
    } else if constexpr (is_std_array<T>::value) {
        io_array(ar, v);
    } else if constexpr (std::is_same_v<T, std::mt19937>) {
        io_mt19937(ar, v);
    } else {
        io_struct(ar, v);
    }
}

template <class T>
void Writer::operator()(const char*, T& value) {
    io(*this, value);
}

template <class T>
void Reader::operator()(const char*, T& value) {
    io(*this, value);
}

template <class T>
void Describer::operator()(const char* name, T& value) {
    io(*this, value);
    fields[py::str(name)] = result;
}

// The Mersenne Twister's words and position, read through the engine's documented layout
// (checked against its textual form by the tests).
struct Mt19937Layout {
    std::mt19937::result_type words[std::mt19937::state_size];
    std::size_t position;
};
static_assert(sizeof(Mt19937Layout) == sizeof(std::mt19937),
              "std::mt19937 does not have the expected layout");

template <class Ar>
void io_mt19937(Ar& ar, std::mt19937& rng) {
    auto& layout = *reinterpret_cast<Mt19937Layout*>(&rng);
    constexpr std::size_t n = std::mt19937::state_size;
    if constexpr (Ar::mode == Mode::write) {
        for (std::size_t i = 0; i < n; ++i) ar.template put<std::uint32_t>(
            static_cast<std::uint32_t>(layout.words[i]));
        ar.template put<std::uint32_t>(static_cast<std::uint32_t>(layout.position));
    } else if constexpr (Ar::mode == Mode::read) {
        Mt19937Layout fresh;
        for (std::size_t i = 0; i < n; ++i) fresh.words[i] = ar.template get<std::uint32_t>();
        const std::uint32_t pos = ar.template get<std::uint32_t>();
        ar.require(pos <= n, "a random generator's position is out of range");
        // The recurrence's state is the top bit of the first word and the other words: all zero,
        // every later output is zero (and rejection loops drawing from it never end).
        bool degenerate = (fresh.words[0] & 0x80000000u) == 0;
        for (std::size_t i = 1; degenerate && i < n; ++i) degenerate = fresh.words[i] == 0;
        ar.require(!degenerate, "a random generator's state is all zero");
        fresh.position = pos;
        layout = fresh;
    } else {
        py::dict out;
        out["position"] = py::int_(layout.position);
        py::list words;
        for (std::size_t i = 0; i < n; ++i) words.append(py::int_(layout.words[i]));
        out["words"] = words;
        ar.result = out;
    }
}

// Nodes of a tree, walked without recursion: `children(node)` returns the node's child slots
// (std::unique_ptr<Node>*) in a fixed order; each node's own fields come from its visit. The
// tree is written in pre-order, a presence byte per slot. Depth is limited only by memory.
template <class Ar, class Node, class Children>
void io_tree(Ar& ar, std::unique_ptr<Node>& root, Children children) {
    if constexpr (Ar::mode == Mode::describe) {
        // (slot, dict to put the node's description in, key)
        struct Item {
            std::unique_ptr<Node>* slot;
            py::object parent;
            py::object key;
        };
        py::dict holder;
        std::vector<Item> stack{{&root, holder, py::str("root")}};
        while (!stack.empty()) {
            Item item = std::move(stack.back());
            stack.pop_back();
            Node* node = item.slot->get();
            if (!node) {
                item.parent[item.key] = py::none();
                continue;
            }
            io_struct(ar, *node);
            py::dict described = ar.result;
            item.parent[item.key] = described;
            auto slots = children(*node);
            for (std::size_t i = slots.size(); i-- > 0;) {
                stack.push_back({slots[i].second, described, py::str(slots[i].first)});
            }
        }
        ar.result = holder["root"];
    } else {
        std::vector<std::unique_ptr<Node>*> stack{&root};
        while (!stack.empty()) {
            std::unique_ptr<Node>* slot = stack.back();
            stack.pop_back();
            if constexpr (Ar::mode == Mode::write) {
                ar.template put<std::uint8_t>(*slot ? 1 : 0);
                if (!*slot) continue;
            } else {
                bool present = false;
                io_scalar(ar, present);
                if (!present) {
                    slot->reset();
                    continue;
                }
                *slot = Construct<Node>::make_unique();
            }
            io_struct(ar, **slot);
            auto slots = children(**slot);
            for (std::size_t i = slots.size(); i-- > 0;) stack.push_back(slots[i].second);
        }
    }
}

// A node tree as a named field of a visit (see io_tree).
template <class Ar, class Node, class Children>
void tree_field(Ar& ar, const char* name, std::unique_ptr<Node>& root, Children children) {
    io_tree(ar, root, children);
    if constexpr (Ar::mode == Mode::describe) ar.fields[py::str(name)] = ar.result;
}

}  // namespace kavro::state
