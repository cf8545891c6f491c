#include "state/registry.hpp"

#include "catalog/catalog.hpp"

#include <array>
#include <cstring>
#include <limits>
#include <unordered_map>

#ifndef KAVRO_VERSION
#define KAVRO_VERSION "0+unknown"
#endif

namespace kavro::state {

namespace {

// "a NaiveBayes", "an ARFClassifier": the article by the name's first letter.
std::string with_article(const std::string& name) {
    const bool vowel = !name.empty() && std::string("AEIOUaeiou").find(name[0]) != std::string::npos;
    return (vowel ? "an " : "a ") + name;
}

}  // namespace

const ClassEntry* Registry::find(const std::string& name) const {
    for (const auto& e : entries_) {
        if (e.name == name) return &e;
    }
    return nullptr;
}

const ClassEntry* Registry::find(const std::type_info& type) const {
    for (const auto& e : entries_) {
        if (*e.type == type) return &e;
    }
    return nullptr;
}

const Registry& registry() {
    static const Registry r = [] {
        Registry fresh;
        register_linear(fresh);
        register_neighbors(fresh);
        register_tree_classifiers(fresh);
        register_tree_regressors(fresh);
        register_ensemble_classifiers(fresh);
        register_ensemble_regressors(fresh);
        register_preprocessing(fresh);
        register_pipeline(fresh);
        register_metrics(fresh);
        register_drift(fresh);
        catalog::add_states(fresh);
        return fresh;
    }();
    return r;
}

namespace detail {

void* instance_value(py::handle obj, const std::type_info& type) {
    auto* tinfo = py::detail::get_type_info(type);
    if (tinfo == nullptr || !py::isinstance(obj, reinterpret_cast<PyObject*>(tinfo->type))) {
        throw py::type_error("expected a " + std::string(tinfo ? tinfo->type->tp_name : "kavro") +
                             " object");
    }
    auto* inst = reinterpret_cast<py::detail::instance*>(obj.ptr());
    auto v_h = inst->get_value_and_holder(tinfo, false);
    if (!v_h || !v_h.holder_constructed() || v_h.value_ptr() == nullptr) {
        throw py::type_error(std::string(tinfo->type->tp_name) +
                             " object is not initialised (was __init__ called?)");
    }
    return v_h.value_ptr();
}

}  // namespace detail

namespace {

// Python type object -> class entry, exact types only.
const ClassEntry* entry_for(py::handle obj) {
    static const std::unordered_map<PyObject*, const ClassEntry*> by_type = [] {
        std::unordered_map<PyObject*, const ClassEntry*> m;
        for (const auto& e : registry().entries()) {
            auto* tinfo = py::detail::get_type_info(*e.type);
            if (tinfo != nullptr) m.emplace(reinterpret_cast<PyObject*>(tinfo->type), &e);
        }
        return m;
    }();
    const auto it = by_type.find(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())));
    if (it == by_type.end()) {
        throw py::type_error(std::string("cannot save or inspect an object of type ") +
                             Py_TYPE(obj.ptr())->tp_name +
                             ": only the classes of _kavro_core (not subclasses) have a saved form");
    }
    return it->second;
}

const ClassEntry& entry_named(const std::string& name) {
    const ClassEntry* e = registry().find(name);
    if (e == nullptr) throw FormatError("the state names an unknown class '" + name + "'");
    return *e;
}

const char kMagic[8] = {'K', 'A', 'V', 'R', 'O', '\r', '\n', '\x1a'};

struct Header {
    std::uint32_t version = 0;
    std::string class_name;
    std::string library_version;
    std::size_t payload_offset = 0;
    std::size_t payload_size = 0;
};

void put_short_string(std::string& out, const std::string& s) {
    const auto n = static_cast<std::uint16_t>(s.size());
    out.append(reinterpret_cast<const char*>(&n), 2);
    out.append(s);
}

Header parse_header(std::string_view data) {
    Header h;
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    const std::size_t size = data.size();
    std::size_t at = 0;
    auto need = [&](std::size_t n, const char* what) {
        if (size - at < n) throw FormatError(std::string("truncated state: it ends inside ") + what);
    };
    need(8, "the magic number");
    if (std::memcmp(p, kMagic, 8) != 0) {
        throw FormatError("not a kavro state: bad magic number");
    }
    at = 8;
    need(4, "the format version");
    std::memcpy(&h.version, p + at, 4);
    at += 4;
    if (h.version == 0 || h.version > kFormatVersion) {
        throw FormatError("the state has format version " + std::to_string(h.version) +
                          "; this library reads versions up to " + std::to_string(kFormatVersion));
    }
    auto short_string = [&](const char* what) {
        need(2, what);
        std::uint16_t n;
        std::memcpy(&n, p + at, 2);
        at += 2;
        need(n, what);
        std::string s(reinterpret_cast<const char*>(p + at), n);
        at += n;
        return s;
    };
    h.class_name = short_string("the class name");
    h.library_version = short_string("the library version");
    need(8, "the payload length");
    std::uint64_t payload;
    std::memcpy(&payload, p + at, 8);
    at += 8;
    if (payload > size - at || size - at - payload < 4) {
        throw FormatError("truncated state: the payload length says " + std::to_string(payload) +
                          " bytes, which with the checksum needs more than the " +
                          std::to_string(size - at) + " bytes that remain");
    }
    if (size - at - payload > 4) {
        throw FormatError("overlong state: " + std::to_string(size - at - payload - 4) +
                          " bytes follow the checksum");
    }
    h.payload_offset = at;
    h.payload_size = static_cast<std::size_t>(payload);
    std::uint32_t stored;
    std::memcpy(&stored, p + at + payload, 4);
    if (crc32(p + at, h.payload_size) != stored) {
        throw FormatError("corrupt state: the payload's checksum does not match");
    }
    return h;
}

}  // namespace

void Codec::write_ref(Writer& w, const void* most_derived, const std::type_info& type) {
    const ClassEntry* e = registry().find(type);
    if (e == nullptr) throw py::type_error("a pipeline part of an unknown class cannot be saved");
    for (std::size_t i = 0; i < written_.size(); ++i) {
        if (written_[i] == most_derived) {
            w.put<std::uint8_t>(1);
            w.put_count(i);
            return;
        }
    }
    written_.push_back(most_derived);
    w.put<std::uint8_t>(0);
    std::string name = e->name;
    io_string(w, name);
    Nested<Writer> guard(w);
    e->write(w, const_cast<void*>(most_derived));
}

void Codec::write_external(Writer& w, py::object obj) {
    for (std::size_t i = 0; i < externals_.size(); ++i) {
        if (externals_[i].is(obj)) {
            w.put<std::uint8_t>(2);
            w.put_count(i);
            return;
        }
    }
    externals_.push_back(std::move(obj));
    w.put<std::uint8_t>(2);
    w.put_count(externals_.size() - 1);
}

std::shared_ptr<void> Codec::read_ref(Reader& r, std::string& class_name) {
    const auto tag = r.get<std::uint8_t>();
    if (tag == 0) {
        io_string(r, class_name);
        const ClassEntry& e = entry_named(class_name);
        Nested<Reader> guard(r);
        std::shared_ptr<void> obj = e.read(r);
        read_.emplace_back(obj, &e);
        return obj;
    }
    if (tag == 1) {
        const auto i = r.get<std::uint64_t>();
        r.require(i < read_.size(), "a reference to an earlier object is out of range");
        class_name = read_[i].second->name;
        return read_[i].first;
    }
    if (tag == 2) {
        const auto i = r.get<std::uint64_t>();
        r.require(external_ && i < externals_.size(),
                  "a reference to an object kept outside the state is out of range");
        const ClassEntry& e = *entry_for(externals_[i]);
        if (i == used_externals_) ++used_externals_;
        class_name = e.name;
        return e.shared_from_python(externals_[i]);
    }
    throw FormatError("corrupt state: unknown object reference tag " + std::to_string(tag));
}

py::object Codec::describe_ref(const void* most_derived, const std::type_info& type) {
    const ClassEntry* e = registry().find(type);
    if (e == nullptr) return py::none();
    Describer d;
    d.codec = this;
    e->describe(d, const_cast<void*>(most_derived));
    py::dict out;
    out["class"] = py::str(e->name);
    out["state"] = d.result;
    return out;
}

std::string dump(py::handle obj, bool external, std::vector<py::object>* externals) {
    const ClassEntry* e = entry_for(obj);
    void* p = e->from_python(obj);
    Codec codec(external);
    Writer w;
    w.codec = &codec;
    // The header goes first, with the payload length patched in once the payload is written.
    std::string& out = w.out;
    out.reserve(256);
    out.append(kMagic, 8);
    const std::uint32_t version = kFormatVersion;
    out.append(reinterpret_cast<const char*>(&version), 4);
    put_short_string(out, e->name);
    put_short_string(out, KAVRO_VERSION);
    const std::size_t length_at = out.size();
    out.append(8, '\0');
    const std::size_t payload_at = out.size();
    e->write(w, p);

    const std::uint64_t n = out.size() - payload_at;
    std::memcpy(&out[length_at], &n, 8);
    const std::uint32_t crc = crc32(reinterpret_cast<const unsigned char*>(out.data()) + payload_at, n);
    out.append(reinterpret_cast<const char*>(&crc), 4);
    if (externals != nullptr) *externals = codec.externals();
    return std::move(out);
}

py::object load(std::string_view data, const std::string& expected,
                std::vector<py::object> externals) {
    const Header h = parse_header(data);
    const ClassEntry& e = entry_named(h.class_name);
    if (!expected.empty() && expected != h.class_name) {
        throw FormatError("the state holds " + with_article(h.class_name) + ", not " +
                          with_article(expected));
    }
    const bool external = !externals.empty();
    Codec codec(external, std::move(externals));
    Reader r(reinterpret_cast<const unsigned char*>(data.data()) + h.payload_offset,
             h.payload_size);
    r.codec = &codec;
    std::shared_ptr<void> obj = e.read(r);
    if (r.remaining() != 0) {
        throw FormatError("corrupt state: " + std::to_string(r.remaining()) +
                          " bytes of the payload are not part of the " + e.name + " state");
    }
    if (!codec.all_externals_used()) {
        throw FormatError("corrupt state: it refers to fewer outside objects than were given");
    }
    return e.to_python(obj);
}

py::object describe(py::handle obj) {
    const ClassEntry* e = entry_for(obj);
    void* p = e->from_python(obj);
    Codec codec(false);
    Describer d;
    d.codec = &codec;
    e->describe(d, p);
    return d.result;
}

py::dict header(std::string_view data) {
    const Header h = parse_header(data);
    py::dict out;
    out["class"] = py::str(h.class_name);
    out["format_version"] = py::int_(h.version);
    out["library_version"] = py::str(h.library_version);
    out["payload_size"] = py::int_(h.payload_size);
    return out;
}

// CRC-32 (IEEE 802.3, reflected polynomial 0xEDB88320), eight bytes per step.
std::uint32_t crc32(const unsigned char* data, std::size_t n) {
    static const auto tables = [] {
        std::array<std::array<std::uint32_t, 256>, 8> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[0][i] = c;
        }
        for (std::uint32_t i = 0; i < 256; ++i) {
            for (int k = 1; k < 8; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xff];
        }
        return t;
    }();
    std::uint32_t c = 0xffffffffu;
    while (n >= 8) {
        std::uint32_t lo, hi;
        std::memcpy(&lo, data, 4);
        std::memcpy(&hi, data + 4, 4);
        lo ^= c;
        c = tables[7][lo & 0xff] ^ tables[6][(lo >> 8) & 0xff] ^ tables[5][(lo >> 16) & 0xff] ^
            tables[4][lo >> 24] ^ tables[3][hi & 0xff] ^ tables[2][(hi >> 8) & 0xff] ^
            tables[1][(hi >> 16) & 0xff] ^ tables[0][hi >> 24];
        data += 8;
        n -= 8;
    }
    while (n-- > 0) c = tables[0][(c ^ *data++) & 0xff] ^ (c >> 8);
    return c ^ 0xffffffffu;
}

}  // namespace kavro::state
