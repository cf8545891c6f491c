// The CSV engine.
//
// The engine opens its source once. It reads the header line for the caller, then takes the
// lines it can convert exactly as the stream's own reader does and stops at the first it
// cannot: a quote other than around a whole field, a carriage return not followed by a line
// feed, a NUL, text that does not
// decode (checked kDecodedAhead bytes past each line too, since the stream's reader decodes in
// chunks and fails before the rows of a chunk it cannot decode; ASCII only, unless the text is
// UTF-8), a row with another number of fields than the header, a field past the size limit, a
// feature cell that is not plain decimal syntax, a missing numeric target or a non-integral
// integer target. The caller goes on from that line with the general reader, reading the
// rest of the source from the engine (read()) or, for a regular file, reopening it.
#include "io/csv_engine.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "io/decimal.hpp"

#ifdef KAVRO_HAVE_ZLIB
#include <zlib.h>
#endif

namespace py = pybind11;

namespace kavro::io {

void LabelTable::append(py::handle value) {
    if (PyLong_CheckExact(value.ptr())) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (overflow != 0) {
            labels_ = numbers_ = false;
            values_.push_back(0.0);
            ints_.push_back(0);
            return;
        }
        values_.push_back(static_cast<double>(v));
        ints_.push_back(v);
        if (v < INT32_MIN || v > INT32_MAX) labels_ = false;
        return;
    }
    labels_ = false;
    if (PyFloat_CheckExact(value.ptr())) {
        values_.push_back(PyFloat_AS_DOUBLE(value.ptr()));
    } else {
        numbers_ = false;
        values_.push_back(0.0);
    }
    ints_.push_back(0);
}

namespace {

constexpr std::size_t kDecodedAhead = std::size_t{1} << 14;
constexpr std::size_t kReadSize = std::size_t{1} << 20;
constexpr std::size_t kLongestLine = std::size_t{1} << 20;
constexpr std::size_t kFirstBlock = 1024;
constexpr std::size_t kQueued = 3;
constexpr std::size_t kListedLabels = 16;

#ifdef KAVRO_HAVE_ZLIB
// What a gzip'd file holds, member after member, taken as the stream's reader takes it: zero
// bytes may pad the end of a member; anything else after one must start the next.
class Gunzip {
public:
    explicit Gunzip(std::FILE* file) : file_(file), input_(std::size_t{1} << 17) {
        ok_ = inflateInit2(&z_, 15 + 16) == Z_OK;
    }
    Gunzip(const Gunzip&) = delete;
    Gunzip& operator=(const Gunzip&) = delete;
    ~Gunzip() {
        if (ok_) inflateEnd(&z_);
    }

    // Up to n bytes into dst; `got` is short only at the end. False on a damaged or cut file.
    bool read(unsigned char* dst, std::size_t n, std::size_t& got) {
        got = 0;
        while (got < n && !done_) {
            if (!in_member_) {  // zero bytes, then the end of the file or the next member
                if (z_.avail_in == 0 && !fill()) {
                    if (std::ferror(file_) != 0) return false;
                    done_ = true;
                    break;
                }
                while (z_.avail_in > 0 && *z_.next_in == 0) {
                    ++z_.next_in;
                    --z_.avail_in;
                }
                if (z_.avail_in == 0) continue;
                if (*z_.next_in != 0x1f) return false;
                if (z_.avail_in == 1 && !fill()) return false;
                if (z_.next_in[1] != 0x8b || inflateReset(&z_) != Z_OK) return false;
                in_member_ = true;
            }
            if (z_.avail_in == 0 && !fill() && std::ferror(file_) != 0) return false;
            z_.next_out = dst + got;
            z_.avail_out = static_cast<uInt>(std::min<std::size_t>(n - got, 1U << 30));
            const uInt before = z_.avail_out;
            const int r = inflate(&z_, Z_NO_FLUSH);
            got += before - z_.avail_out;
            if (r == Z_STREAM_END) {
                in_member_ = false;
            } else if (r == Z_BUF_ERROR) {
                if (z_.avail_in == 0 && std::feof(file_) != 0) return false;  // cut inside a member
            } else if (r != Z_OK) {
                return false;
            }
        }
        return true;
    }

    bool ok() const { return ok_; }

private:
    // More input after what is left unread; false at the end of the file.
    bool fill() {
        const std::size_t left = z_.avail_in;
        if (left > 0) std::memmove(input_.data(), z_.next_in, left);
        const std::size_t more = std::fread(input_.data() + left, 1, input_.size() - left, file_);
        z_.next_in = input_.data();
        z_.avail_in = static_cast<uInt>(left + more);
        return more > 0;
    }

    std::FILE* file_;
    std::vector<unsigned char> input_;
    z_stream z_{};
    bool ok_ = false;
    bool in_member_ = true;
    bool done_ = false;
};
#endif

// The bytes of a source, or of what a gzip'd source holds, from its start: a file opened by
// path, or a Python file object read through its read() (bytes, or text taken as UTF-8).
class RawFile {
public:
    RawFile(const std::string& path, bool gzip) {
        file_ = std::fopen(path.c_str(), "rb");
        if (file_ == nullptr) return;
        struct stat st {};
        if (fstat(fileno(file_), &st) == 0) {
            regular_ = S_ISREG(st.st_mode);
            device_ = static_cast<std::uint64_t>(st.st_dev);
            inode_ = static_cast<std::uint64_t>(st.st_ino);
        }
        if (gzip) {
#ifdef KAVRO_HAVE_ZLIB
            gunzip_ = std::make_unique<Gunzip>(file_);
            if (gunzip_->ok()) return;
#endif
            std::fclose(file_);
            file_ = nullptr;
        }
    }
    // With the GIL held.
    explicit RawFile(py::object read) : read_(std::move(read)) {}
    RawFile(const RawFile&) = delete;
    RawFile& operator=(const RawFile&) = delete;
    ~RawFile() {
#ifdef KAVRO_HAVE_ZLIB
        gunzip_.reset();
#endif
        if (file_ != nullptr) std::fclose(file_);
        if (read_) {
            py::gil_scoped_acquire gil;
            read_ = py::object();
        }
    }

    bool ok() const { return file_ != nullptr || read_; }
    bool regular() const { return regular_; }
    std::uint64_t device() const { return device_; }
    std::uint64_t inode() const { return inode_; }
    // What the file object's read() raised, if it did.
    std::exception_ptr error() const { return error_; }

    // Up to n bytes into dst; `got` is short only at the end of the source. False on a read
    // error, a damaged or cut gzip'd file included.
    bool read(char* dst, std::size_t n, std::size_t& got) {
        if (read_) return read_object(dst, n, got);
#ifdef KAVRO_HAVE_ZLIB
        if (gunzip_) return gunzip_->read(reinterpret_cast<unsigned char*>(dst), n, got);
#endif
        got = std::fread(dst, 1, n, file_);
        return got == n || std::ferror(file_) == 0;
    }

private:
    // Calls read() until n bytes are in or it gives nothing; bytes of a text chunk beyond n
    // wait for the next call. Text is encoded as UTF-8, lone surrogates passed through.
    bool read_object(char* dst, std::size_t n, std::size_t& got) {
        got = 0;
        if (error_) return false;
        py::gil_scoped_acquire gil;
        try {
            for (;;) {
                const std::size_t take = std::min(n - got, spare_.size() - spare_at_);
                std::memcpy(dst + got, spare_.data() + spare_at_, take);
                spare_at_ += take;
                got += take;
                if (got == n || object_end_) return true;
                py::object chunk = read_(py::int_(std::min<std::size_t>(n - got, kReadSize)));
                if (PyUnicode_Check(chunk.ptr()) != 0) {
                    chunk = py::reinterpret_steal<py::object>(
                        PyUnicode_AsEncodedString(chunk.ptr(), "utf-8", "surrogatepass"));
                    if (!chunk) throw py::error_already_set();
                } else if (PyBytes_Check(chunk.ptr()) == 0) {
                    if (chunk.is_none()) {
                        throw py::type_error("the file object's read() gave None (a non-blocking source "
                                             "with no data ready): pass a blocking file object");
                    }
                    chunk = py::reinterpret_steal<py::object>(PyBytes_FromObject(chunk.ptr()));
                    if (!chunk) {
                        PyErr_Clear();
                        throw py::type_error("the file object's read() gave neither bytes nor text");
                    }
                }
                char* bytes = nullptr;
                Py_ssize_t size = 0;
                if (PyBytes_AsStringAndSize(chunk.ptr(), &bytes, &size) != 0) throw py::error_already_set();
                if (size == 0) {
                    object_end_ = true;
                    continue;
                }
                spare_.assign(bytes, static_cast<std::size_t>(size));
                spare_at_ = 0;
            }
        } catch (...) {
            error_ = std::current_exception();
            return false;
        }
    }

    std::FILE* file_ = nullptr;
    bool regular_ = false;
    std::uint64_t device_ = 0;
    std::uint64_t inode_ = 0;
#ifdef KAVRO_HAVE_ZLIB
    std::unique_ptr<Gunzip> gunzip_;
#endif
    py::object read_;
    std::string spare_;
    std::size_t spare_at_ = 0;
    bool object_end_ = false;
    std::exception_ptr error_;
};

// The length of the valid UTF-8 sequence starting at p (a byte beyond ASCII), 0 when it is
// not valid, or -1 when `end` cuts it.
int utf8_sequence(const unsigned char* p, const unsigned char* end) {
    const unsigned char c = p[0];
    int n = 0;
    unsigned char lo = 0x80, hi = 0xbf;  // the range of the second byte
    if (c >= 0xc2 && c <= 0xdf) {
        n = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
        n = 3;
        if (c == 0xe0) lo = 0xa0;
        if (c == 0xed) hi = 0x9f;
    } else if (c >= 0xf0 && c <= 0xf4) {
        n = 4;
        if (c == 0xf0) lo = 0x90;
        if (c == 0xf4) hi = 0x8f;
    } else {
        return 0;
    }
    for (int k = 1; k < n; ++k) {
        if (p + k >= end) return -1;
        const unsigned char b = p[k];
        if (k == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xbf)) return 0;
    }
    return n;
}

// The source read in large pieces into a buffer holding the current line and the bytes
// checked after it.
class Source {
public:
    Source(const std::string& path, bool gzip) : file_(path, gzip) {}
    explicit Source(py::object read) : file_(std::move(read)) {}

    bool ok() const { return file_.ok() && !failed_; }
    const RawFile& file() const { return file_; }
    bool at_end() const { return eof_ && pos_ == buf_.size(); }
    std::uint64_t offset() const { return offset_ + pos_; }  // of the current position
    const char* data() const { return buf_.data(); }
    std::size_t pos() const { return pos_; }
    std::size_t size() const { return buf_.size(); }
    void advance(std::size_t to) { pos_ = to; }

    // Makes the buffer hold `n` bytes from the current position, or all up to the end of
    // the source; false on a read error.
    bool hold(std::size_t n) {
        while (!eof_ && buf_.size() - pos_ < n) {
            if (pos_ > 0) {  // drop what was consumed
                buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(pos_));
                offset_ += pos_;
                checked_ -= std::min(checked_, pos_);
                pos_ = 0;
            }
            const std::size_t old = buf_.size();
            const std::size_t want = std::max(kReadSize, n - old);
            buf_.resize(old + want);
            std::size_t got = 0;
            const bool read = file_.read(buf_.data() + old, want, got);
            buf_.resize(old + got);
            if (!read) {
                failed_ = true;
                return false;
            }
            if (got < want) eof_ = true;
        }
        return true;
    }

    // The length of the line at the current position (up to its line feed or the end of the
    // source), or npos when it is longer than kLongestLine or cannot be read.
    std::size_t line_length() {
        std::size_t scanned = 0;  // bytes after the position known to hold no line feed
        for (;;) {
            const char* base = buf_.data() + pos_;
            const void* nl = std::memchr(base + scanned, '\n', buf_.size() - pos_ - scanned);
            if (nl != nullptr) return static_cast<std::size_t>(static_cast<const char*>(nl) - base);
            scanned = buf_.size() - pos_;
            if (eof_) return scanned;
            if (scanned > kLongestLine || !hold(scanned + kReadSize)) return npos;
        }
    }

    // True when the `n` bytes from the current position and the kDecodedAhead after them (or
    // those up to the end of the source) decode: ASCII, or with utf8 valid UTF-8 (a character
    // cut by the end of the bytes checked is checked with the bytes after it).
    bool decodes_through(std::size_t n, bool utf8) {
        if (!hold(n + kDecodedAhead)) return false;
        // Relative to the position: reading on below may move the bytes held.
        const std::size_t window = std::min(buf_.size() - pos_, n + kDecodedAhead);
        if (checked_ < pos_) checked_ = pos_;
        const auto* bytes = reinterpret_cast<const unsigned char*>(buf_.data());
        while (checked_ < pos_ + window) {
            const std::size_t until = pos_ + window;
            if (checked_ + 8 <= until) {
                std::uint64_t word;
                std::memcpy(&word, bytes + checked_, 8);
                if ((word & 0x8080808080808080ULL) == 0) {
                    checked_ += 8;
                    continue;
                }
            }
            if (bytes[checked_] < 0x80) {
                ++checked_;
                continue;
            }
            if (!utf8) return false;
            int k = utf8_sequence(bytes + checked_, bytes + buf_.size());
            if (k < 0) {  // cut by the end of what is held: read on
                if (eof_ || !hold(buf_.size() - pos_ + 4)) return false;
                bytes = reinterpret_cast<const unsigned char*>(buf_.data());
                k = utf8_sequence(bytes + checked_, bytes + buf_.size());
            }
            if (k <= 0) return false;
            checked_ += static_cast<std::size_t>(k);
        }
        return true;
    }

    // Up to n bytes from the current position on (the rest of the source after what the
    // buffer holds); `got` is short only at the end. After a read error the bytes before it
    // come first; false once none are left.
    bool drain(char* dst, std::size_t n, std::size_t& got) {
        got = std::min(n, buf_.size() - pos_);
        std::memcpy(dst, buf_.data() + pos_, got);
        pos_ += got;
        if (got == n || eof_) return true;
        if (failed_) return got > 0;
        std::size_t more = 0;
        const bool read = file_.read(dst + got, n - got, more);
        if (!read) {
            failed_ = true;
            got += more;
            return got > 0;
        }
        if (more < n - got) eof_ = true;
        got += more;
        return true;
    }

    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

private:
    RawFile file_;
    std::vector<char> buf_;
    std::uint64_t offset_ = 0;  // of buf_[0] in the source
    std::size_t pos_ = 0;
    std::size_t checked_ = 0;  // buf_[..checked_) is known to decode
    bool eof_ = false;
    bool failed_ = false;
};

bool missing_text(const char* p, const char* e) {
    if (p == e) return true;
    if (e - p != 3) return false;
    return (p[0] | 0x20) == 'n' && (p[1] | 0x20) == 'a' && (p[2] | 0x20) == 'n';
}

// A block as Python sees it: its rows, the labels first seen in it, and its cells as arrays.
class BlockView {
public:
    explicit BlockView(std::shared_ptr<CsvBlock> b) : block_(std::move(b)) {}
    const std::shared_ptr<CsvBlock>& block() const { return block_; }

    std::size_t rows() const { return block_->rows; }

    py::list fresh() const {
        py::list out;
        for (const auto& s : block_->fresh) out.append(py::bytes(s));
        return out;
    }

    // The first row whose label code is `code` or more (rows when none is).
    std::size_t first_code(std::int64_t code) const {
        for (std::size_t r = 0; r < block_->rows; ++r) {
            if (block_->y_int[r] >= code) return r;
        }
        return block_->rows;
    }

    // The line number of row r (the header is line 1).
    std::int64_t line(std::size_t r) const {
        if (r >= block_->rows) throw py::index_error("row out of range");
        return block_->lines[r];
    }

    // The target of row r as the block holds it: a float, an int, or a label code.
    py::object target(std::size_t r) const {
        if (r >= block_->rows) throw py::index_error("row out of range");
        if (block_->kind == TargetKind::kFloat) return py::float_(block_->y_float[r]);
        return py::int_(block_->y_int[r]);
    }

    // (X, y) as NumPy arrays over the block's memory: float64 rows x features, and float64
    // targets or int64 integers / label codes. NumPy is imported here, on first use only.
    py::tuple arrays() const {
        auto* owner = new std::shared_ptr<CsvBlock>(block_);
        py::capsule keep(owner, [](void* p) { delete static_cast<std::shared_ptr<CsvBlock>*>(p); });
        const auto rows = static_cast<py::ssize_t>(block_->rows);
        const auto nf = static_cast<py::ssize_t>(block_->width);
        const auto d = static_cast<py::ssize_t>(sizeof(double));
        py::array_t<double> X({rows, nf}, {nf * d, d}, block_->X.get(), keep);
        py::object y;
        if (block_->kind == TargetKind::kFloat) {
            y = py::array_t<double>({rows}, {d}, block_->y_float.data(), keep);
        } else {
            y = py::array_t<std::int64_t>({rows}, {static_cast<py::ssize_t>(sizeof(std::int64_t))},
                                          block_->y_int.data(), keep);
        }
        return py::make_tuple(X, y);
    }

private:
    std::shared_ptr<CsvBlock> block_;
};

class CsvEngine {
public:
    CsvEngine(const std::string& path, bool gzip) {
#ifndef KAVRO_HAVE_ZLIB
        if (gzip) throw py::value_error("csv engine: this build reads no gzip'd files");
#endif
        py::gil_scoped_release release;  // opening a FIFO waits for its writer
        src_ = std::make_unique<Source>(path, gzip);
    }
    explicit CsvEngine(py::object read) {
        if (!PyCallable_Check(read.ptr())) throw py::type_error("csv engine: read must be callable");
        src_ = std::make_unique<Source>(std::move(read));
    }
    CsvEngine(const CsvEngine&) = delete;
    CsvEngine& operator=(const CsvEngine&) = delete;
    ~CsvEngine() { stop(); }

    bool opened() const { return src_->file().ok(); }
    bool regular() const { return src_->file().regular(); }
    py::tuple identity() const { return py::make_tuple(src_->file().device(), src_->file().inode()); }

    // The bytes of the first line up to its line feed (a carriage return before it kept), or
    // None when the source cannot be read or its first line has no line feed within reach.
    // The engine then stands after that line.
    py::object header() {
        if (started_) throw py::value_error("csv engine: already reading");
        std::size_t len = 0;
        {
            py::gil_scoped_release release;
            len = src_->ok() && src_->hold(1) ? src_->line_length() : Source::npos;
        }
        if (len == Source::npos || src_->pos() + len >= src_->size()) return py::none();
        py::bytes line(src_->data() + src_->pos(), len);
        src_->advance(src_->pos() + len + 1);
        lines_ = 1;
        return std::move(line);
    }

    // Starts reading the lines after the header on a thread of its own.
    void start(const std::string& delimiter, int width, std::vector<int> features, int target,
               const std::string& target_kind, std::int64_t size_limit, std::int64_t block_rows, bool utf8) {
        if (started_) throw py::value_error("csv engine: already reading");
        if (delimiter.size() != 1 || delimiter[0] == '"' || delimiter[0] == '\r' || delimiter[0] == '\n' ||
            static_cast<unsigned char>(delimiter[0]) >= 0x80) {
            throw py::value_error("csv engine: the delimiter must be one ASCII character other than a quote or a line break");
        }
        if (width <= 0 || target < 0 || target >= width || block_rows <= 0 || size_limit < 0) {
            throw py::value_error("csv engine: bad layout");
        }
        for (const int f : features) {
            if (f < 0 || f >= width || f == target) throw py::value_error("csv engine: bad feature column");
        }
        if (target_kind == "float") {
            kind_ = TargetKind::kFloat;
        } else if (target_kind == "int") {
            kind_ = TargetKind::kInt;
        } else if (target_kind == "label") {
            kind_ = TargetKind::kLabel;
        } else {
            throw py::value_error("csv engine: target_kind is 'float', 'int' or 'label'");
        }
        delimiter_ = delimiter[0];
        for (const char c : {delimiter_, '"', '\r', '\0'}) stops_[static_cast<unsigned char>(c)] = true;
        features_ = std::move(features);
        target_ = target;
        width_ = width;
        size_limit_ = size_limit;
        block_rows_ = static_cast<std::size_t>(block_rows);
        utf8_ = utf8;
        started_ = true;
        thread_ = std::thread([this] { work(); });
    }

    // The next block, or None once the engine stopped; waits without the GIL.
    py::object next() {
        if (!started_) throw py::value_error("csv engine: not started");
        std::shared_ptr<CsvBlock> block;
        {
            py::gil_scoped_release release;
            std::unique_lock<std::mutex> lock(mutex_);
            ready_.wait(lock, [this] { return !queue_.empty() || done_; });
            if (!queue_.empty()) {
                block = std::move(queue_.front());
                queue_.pop_front();
                room_.notify_one();
            }
        }
        if (!block) {
            if (error_) std::rethrow_exception(error_);
            return py::none();
        }
        return py::cast(BlockView(std::move(block)));
    }

    // Where the engine stopped: (offset of the first line left unread, lines before it, the
    // header's included), or None when it read the source to its end. Once next() gave None.
    py::object stopped_at() const {
        std::lock_guard<std::mutex> lock(mutex_);
        if (started_ && !done_) throw py::value_error("csv engine: still reading");
        if (started_ && stopped_at_ < 0) return py::none();
        return py::make_tuple(started_ ? stopped_at_ : static_cast<std::int64_t>(src_->offset()), lines_);
    }

    // Up to n bytes of the source from where the engine stopped on (b"" at the end): what the
    // general reader reads after it. Only once the engine stopped.
    py::bytes read(std::size_t n) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (started_ && !done_) throw py::value_error("csv engine: still reading");
        }
        if (thread_.joinable()) join();
        if (!src_->file().ok()) return py::bytes();
        std::string out(n, '\0');
        std::size_t got = 0;
        bool ok = true;
        {
            py::gil_scoped_release release;
            ok = src_->drain(out.data(), n, got);
        }
        if (!ok) {
            if (const auto error = src_->file().error()) std::rethrow_exception(error);
            throw py::value_error("csv engine: the source cannot be read (damaged or cut)");
        }
        out.resize(got);
        return py::bytes(out);
    }

    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            cancel_ = true;
        }
        room_.notify_all();
        join();
    }

private:
    void join() {
        if (!thread_.joinable()) return;
        if (PyGILState_Check() != 0) {
            py::gil_scoped_release release;
            thread_.join();
        } else {
            thread_.join();
        }
    }

    // Reads every line it can; stopped_at_ is the offset of the first it cannot (-1: the end).
    void work() {
        try {
            const std::int64_t stopped = read_lines(*src_);
            std::lock_guard<std::mutex> lock(mutex_);
            stopped_at_ = stopped;
            done_ = true;
            ready_.notify_all();
        } catch (...) {
            std::lock_guard<std::mutex> lock(mutex_);
            error_ = std::current_exception();
            done_ = true;
            ready_.notify_all();
        }
    }

    std::int64_t read_lines(Source& src) {
        std::vector<std::pair<const char*, const char*>> fields(static_cast<std::size_t>(width_));
        std::size_t capacity = std::min(kFirstBlock, block_rows_);
        auto block = fresh_block(capacity);
        std::int64_t lines = lines_;
        for (;;) {
            if (cancelled()) return -1;
            if (!src.hold(1)) break;
            if (src.at_end()) break;
            const std::size_t len = src.line_length();
            if (len == Source::npos || !src.decodes_through(len + 1, utf8_)) break;
            const char* line = src.data() + src.pos();
            const char* end = line + len;
            const std::size_t next = src.pos() + len + (src.pos() + len < src.size() ? 1 : 0);
            if (end > line && end[-1] == '\r') --end;
            if (end != line) {  // an empty line holds no row
                // The row's cells go straight to its place in the block; a line that does not
                // convert leaves them in capacity the block does not count.
                if (!split(line, end, fields) ||
                    !convert(fields, block->X.get() + block->rows * features_.size(), *block)) {
                    break;
                }
                ++block->rows;
                block->lines.push_back(lines + 1);
            }
            src.advance(next);
            ++lines;
            if (block->rows == capacity) {
                if (!push(std::move(block))) return -1;
                capacity = std::min(capacity * 2, block_rows_);
                block = fresh_block(capacity);
            }
        }
        const bool at_end = src.ok() && src.at_end();
        const auto offset = static_cast<std::int64_t>(src.offset());
        if (block->rows > 0 && !push(std::move(block))) return -1;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_ = lines;
        }
        return at_end ? -1 : offset;
    }

    std::shared_ptr<CsvBlock> fresh_block(std::size_t capacity) const {
        auto b = std::make_shared<CsvBlock>();
        b->width = features_.size();
        b->kind = kind_;
        b->X.reset(new double[std::max<std::size_t>(capacity * features_.size(), 1)]);
        b->lines.reserve(capacity);
        if (kind_ == TargetKind::kFloat) {
            b->y_float.reserve(capacity);
        } else {
            b->y_int.reserve(capacity);
        }
        return b;
    }

    // The fields of a line, when it has `width` of them, none past the size limit, and each is
    // either plain (no quote, carriage return or NUL) or quoted whole: a quote, text without
    // quote, carriage return or NUL, and a quote that ends the field. Quotes anywhere else
    // (doubled, inside a field, a line break inside quotes) are left to the stream's reader.
    bool split(const char* p, const char* end, std::vector<std::pair<const char*, const char*>>& fields) const {
        std::size_t n = 0;
        for (;;) {
            if (n == fields.size()) return false;
            const char* start = p;
            const char* stop = p;
            if (p < end && *p == '"') {
                const char* close = ++start;
                while (close < end && *close != '"' && *close != '\r' && *close != '\0') ++close;
                if (close == end || *close != '"') return false;
                stop = close;
                p = close + 1;
                if (p < end && *p != delimiter_) return false;
            } else {
                while (p < end && !stops_[static_cast<unsigned char>(*p)]) ++p;
                if (p < end && *p != delimiter_) return false;  // a quote, carriage return or NUL
                stop = p;
            }
            if (stop - start > size_limit_) return false;
            fields[n++] = {start, stop};
            if (p == end) break;
            ++p;  // past the delimiter
        }
        return n == fields.size();
    }

    // The row's feature values (NaN = absent) and its target, when each converts exactly.
    bool convert(const std::vector<std::pair<const char*, const char*>>& fields, double* row, CsvBlock& block) {
        for (std::size_t j = 0; j < features_.size(); ++j) {
            const char* p = fields[static_cast<std::size_t>(features_[j])].first;
            const char* e = fields[static_cast<std::size_t>(features_[j])].second;
            trim_ascii_space(p, e);
            if (missing_text(p, e)) {
                row[j] = std::nan("");
                continue;
            }
            if (!decimal_value(p, e, row[j])) return false;
        }
        const char* p = fields[static_cast<std::size_t>(target_)].first;
        const char* e = fields[static_cast<std::size_t>(target_)].second;
        if (kind_ == TargetKind::kLabel) {  // the raw text: the caller converts each once
            block.y_int.push_back(label_code(p, e, block));
            return true;
        }
        trim_ascii_space(p, e);
        double v = 0.0;
        if (missing_text(p, e) || !decimal_value(p, e, v)) return false;
        if (kind_ == TargetKind::kFloat) {
            block.y_float.push_back(v);
            return true;
        }
        // An integer target: the double agrees with the integer the text spells below 2^53.
        if (!(std::fabs(v) < 9007199254740992.0) || v != std::floor(v)) return false;
        block.y_int.push_back(static_cast<std::int64_t>(v));
        return true;
    }

    // The code of a label text; a new one is numbered next and listed in the block.
    std::int64_t label_code(const char* p, const char* e, CsvBlock& block) {
        const auto n = static_cast<std::size_t>(e - p);
        if (label_list_.size() <= kListedLabels) {
            for (std::size_t k = 0; k < label_list_.size(); ++k) {
                const std::string& s = label_list_[k];
                if (s.size() == n && std::memcmp(s.data(), p, n) == 0) return static_cast<std::int64_t>(k);
            }
        } else {
            const auto it = labels_.find(std::string(p, e));
            if (it != labels_.end()) return it->second;
        }
        const auto code = static_cast<std::int64_t>(label_list_.size());
        label_list_.emplace_back(p, e);
        if (label_list_.size() > kListedLabels) {
            if (labels_.empty()) {
                for (std::size_t k = 0; k < label_list_.size(); ++k) {
                    labels_.emplace(label_list_[k], static_cast<std::int64_t>(k));
                }
            } else {
                labels_.emplace(label_list_.back(), code);
            }
        }
        block.fresh.push_back(label_list_.back());
        return code;
    }

    bool cancelled() const { return cancel_.load(std::memory_order_relaxed); }

    bool push(std::shared_ptr<CsvBlock> block) {
        std::unique_lock<std::mutex> lock(mutex_);
        room_.wait(lock, [this] { return queue_.size() < kQueued || cancel_; });
        if (cancel_) return false;
        queue_.push_back(std::move(block));
        ready_.notify_one();
        return true;
    }

    std::unique_ptr<Source> src_;
    bool started_ = false;
    std::int64_t lines_ = 0;  // lines read, the header's included
    std::vector<int> features_;
    int target_ = 0;
    int width_ = 0;
    std::int64_t size_limit_ = 0;
    std::size_t block_rows_ = 1;
    bool utf8_ = false;
    char delimiter_ = ',';
    bool stops_[256] = {};  // bytes that end or refuse a field
    TargetKind kind_ = TargetKind::kFloat;
    // Label texts by code; looked up in turn while few, then through the map (reading thread only).
    std::vector<std::string> label_list_;
    std::unordered_map<std::string, std::int64_t> labels_;

    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable room_;
    std::deque<std::shared_ptr<CsvBlock>> queue_;
    bool done_ = false;
    std::atomic<bool> cancel_{false};
    std::int64_t stopped_at_ = -1;
    std::exception_ptr error_;
    std::thread thread_;
};

}  // namespace

void bind_csv_engine(py::module_& m) {
    py::class_<LabelTable, std::shared_ptr<LabelTable>>(m, "LabelTable",
                                                        "The target value of each label code of a CSV engine.")
        .def(py::init<>())
        .def("append", &LabelTable::append, py::arg("value"), "The value of the next code (an int or a float).")
        .def("__len__", &LabelTable::size);
    py::class_<BlockView>(m, "CsvBlock", "A block of rows the CSV engine read.")
        .def("__len__", &BlockView::rows)
        .def_property_readonly("fresh", &BlockView::fresh, "Raw label texts first seen in this block, in code order.")
        .def("first_code", &BlockView::first_code, py::arg("code"),
             "The first row whose label code is at least `code` (the length when none is).")
        .def("line", &BlockView::line, py::arg("row"), "The line number of a row (the header is line 1).")
        .def("target", &BlockView::target, py::arg("row"), "The target of a row: a float, an int or a label code.")
        .def("arrays", &BlockView::arrays, "(X, y) as NumPy arrays over the block.");
    py::class_<CsvEngine>(m, "CsvEngine",
                          "A CSV source read once: its header line, then blocks of its plain lines, "
                          "read and converted on a thread of its own.")
        .def(py::init<const std::string&, bool>(), py::arg("path"), py::arg("gzip") = false,
             "Opens the source (a file, a FIFO, /dev/stdin, ...); gzip: read what it holds gzip'd.")
        .def(py::init<py::object>(), py::arg("read"),
             "Reads the source through read(n), a file object's method giving bytes, or text "
             "(taken as UTF-8, lone surrogates passed through); b'' or '' at its end.")
        .def_property_readonly("opened", &CsvEngine::opened, "The source could be opened.")
        .def_property_readonly("regular", &CsvEngine::regular, "The source is a regular file.")
        .def_property_readonly("identity", &CsvEngine::identity, "(device, inode) of the source.")
        .def("header", &CsvEngine::header,
             "The first line's bytes without its line feed, or None; the engine stands after it.")
        .def("start", &CsvEngine::start, py::arg("delimiter"), py::arg("width"), py::arg("features"),
             py::arg("target"), py::arg("target_kind"), py::arg("size_limit"), py::arg("block_rows"),
             py::arg("utf8") = false,
             "Reads rows of `width` fields. Each block holds the `features` columns (NaN = absent) and "
             "the `target` column: floats ('float'), int64 ('int'), or int64 codes of the raw label "
             "texts ('label', numbered in order of first appearance; each block lists those it saw "
             "first). utf8: text beyond ASCII is taken when it is UTF-8.")
        .def("next", &CsvEngine::next, "The next block, or None once stopped; waits without the GIL.")
        .def_property_readonly("stopped_at", &CsvEngine::stopped_at,
                               "(offset, lines before it) of the first line left unread, None at the end.")
        .def("read", &CsvEngine::read, py::arg("n"),
             "Up to n bytes of the source from where the engine stopped on.")
        .def("close", &CsvEngine::stop, "Stop reading and join the thread.");
#ifdef KAVRO_HAVE_ZLIB
    m.attr("CSV_READS_GZIP") = true;
#else
    m.attr("CSV_READS_GZIP") = false;
#endif
}

// The block behind a CsvBlock handle (for the native loop).
std::shared_ptr<CsvBlock> block_of(py::handle h) { return h.cast<const BlockView&>().block(); }

}  // namespace kavro::io
