// Blocks of a plain CSV file, tokenized and converted on a thread of their own.
//
// The reader takes the lines it can convert exactly as the stream's own reader does and stops
// at the first it cannot: a quote, a carriage return not followed by a line feed, a NUL, a
// byte beyond ASCII (or one within kDecodedAhead bytes after the line, since the stream's
// reader decodes the file in chunks and fails before the rows of a chunk it cannot decode), a
// row with another number of fields than the header, a field past the size limit, a cell that
// is not plain decimal syntax, a missing numeric target or a non-integral integer target. The
// caller goes on from the offset of that line with the general readers.
#include "batch/csv_reader.hpp"

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

#include "batch/decimal.hpp"

#ifdef KAVRO_HAVE_ZLIB
#include <zlib.h>
#endif

namespace py = pybind11;

namespace kavro::native {

namespace {

constexpr std::size_t kDecodedAhead = std::size_t{1} << 14;
constexpr std::size_t kReadSize = std::size_t{1} << 20;
constexpr std::size_t kLongestLine = std::size_t{1} << 20;
constexpr std::size_t kFirstBlock = 1024;
constexpr std::size_t kQueued = 3;
constexpr std::size_t kListedLabels = 16;

enum class TargetKind { kFloat, kInt, kLabel };

// One block of rows: row-major cells (NaN = absent) and the targets.
struct Block {
    std::size_t rows = 0;
    std::unique_ptr<double[]> X;  // capacity rows, left uninitialised
    std::vector<double> y_float;
    std::vector<std::int64_t> y_int;  // integers, or label codes
    std::vector<std::string> fresh;   // labels first seen in this block, in code order
};

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

// The bytes of a file from an offset, or of what a gzip'd file holds.
class RawFile {
public:
    RawFile(const std::string& path, bool gzip, std::int64_t start) {
        file_ = std::fopen(path.c_str(), "rb");
        if (file_ == nullptr) return;
        if (gzip) {
#ifdef KAVRO_HAVE_ZLIB
            gunzip_ = std::make_unique<Gunzip>(file_);
            std::vector<unsigned char> skipped(std::size_t{1} << 16);
            for (auto left = static_cast<std::size_t>(start); gunzip_->ok() && left > 0;) {
                std::size_t got = 0;
                const std::size_t want = std::min(left, skipped.size());
                if (!gunzip_->read(skipped.data(), want, got) || got < want) {
                    gunzip_.reset();
                    break;
                }
                left -= got;
            }
            if (gunzip_ && gunzip_->ok()) return;
#endif
            std::fclose(file_);
            file_ = nullptr;
            return;
        }
        if (start > 0 && fseeko(file_, static_cast<off_t>(start), SEEK_SET) != 0) {
            std::fclose(file_);
            file_ = nullptr;
        }
    }
    RawFile(const RawFile&) = delete;
    RawFile& operator=(const RawFile&) = delete;
    ~RawFile() {
#ifdef KAVRO_HAVE_ZLIB
        gunzip_.reset();
#endif
        if (file_ != nullptr) std::fclose(file_);
    }

    bool ok() const { return file_ != nullptr; }

    // Up to n bytes into dst; `got` is short only at the end of the file. False on a read
    // error, a damaged or cut gzip'd file included.
    bool read(char* dst, std::size_t n, std::size_t& got) {
#ifdef KAVRO_HAVE_ZLIB
        if (gunzip_) return gunzip_->read(reinterpret_cast<unsigned char*>(dst), n, got);
#endif
        got = std::fread(dst, 1, n, file_);
        return got == n || std::ferror(file_) == 0;
    }

private:
    std::FILE* file_ = nullptr;
#ifdef KAVRO_HAVE_ZLIB
    std::unique_ptr<Gunzip> gunzip_;
#endif
};

// The file from an offset, read in large pieces into a buffer holding the current line and
// the bytes checked after it.
class Source {
public:
    Source(const std::string& path, bool gzip, std::int64_t start)
        : file_(path, gzip, start), offset_(static_cast<std::uint64_t>(start)) {}

    bool ok() const { return file_.ok() && !failed_; }
    bool at_end() const { return eof_ && pos_ == buf_.size(); }
    std::uint64_t offset() const { return offset_ + pos_; }  // of the current position
    const char* data() const { return buf_.data(); }
    std::size_t pos() const { return pos_; }
    std::size_t size() const { return buf_.size(); }
    void advance(std::size_t to) { pos_ = to; }

    // Makes the buffer hold `n` bytes from the current position, or all up to the end of
    // the file; false on a read error.
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
    // file), or npos when it is longer than kLongestLine or cannot be read.
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
    // those up to the end of the file) are ASCII.
    bool ascii_through(std::size_t n) {
        if (!hold(n + kDecodedAhead)) return false;
        const std::size_t until = std::min(buf_.size(), pos_ + n + kDecodedAhead);
        if (checked_ < pos_) checked_ = pos_;
        for (; checked_ + 8 <= until; checked_ += 8) {
            std::uint64_t word;
            std::memcpy(&word, buf_.data() + checked_, 8);
            if ((word & 0x8080808080808080ULL) != 0) return false;
        }
        for (; checked_ < until; ++checked_) {
            if (static_cast<unsigned char>(buf_[checked_]) >= 0x80) return false;
        }
        return true;
    }

    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

private:
    RawFile file_;
    std::vector<char> buf_;
    std::uint64_t offset_ = 0;  // of buf_[0] in the file
    std::size_t pos_ = 0;
    std::size_t checked_ = 0;  // buf_[..checked_) is known to be ASCII
    bool eof_ = false;
    bool failed_ = false;
};

bool missing_text(const char* p, const char* e) {
    if (p == e) return true;
    if (e - p != 3) return false;
    return (p[0] | 0x20) == 'n' && (p[1] | 0x20) == 'a' && (p[2] | 0x20) == 'n';
}

class CsvBlockReader {
public:
    CsvBlockReader(std::string path, std::int64_t start, const std::string& delimiter, int width,
                   std::vector<int> features, int target, const std::string& target_kind,
                   std::int64_t size_limit, std::int64_t block_rows, bool gzip)
        : features_(std::move(features)), target_(target), width_(width), size_limit_(size_limit),
          block_rows_(static_cast<std::size_t>(block_rows)) {
        if (delimiter.size() != 1 || delimiter[0] == '"' || delimiter[0] == '\r' || delimiter[0] == '\n' ||
            static_cast<unsigned char>(delimiter[0]) >= 0x80) {
            throw py::value_error("csv reader: the delimiter must be one ASCII character other than a quote or a line break");
        }
        delimiter_ = delimiter[0];
        for (const char c : {delimiter_, '"', '\r', '\0'}) stops_[static_cast<unsigned char>(c)] = true;
        if (width <= 0 || target < 0 || target >= width || start < 0 || block_rows <= 0 || size_limit < 0) {
            throw py::value_error("csv reader: bad layout");
        }
        for (const int f : features_) {
            if (f < 0 || f >= width || f == target) throw py::value_error("csv reader: bad feature column");
        }
        if (target_kind == "float") {
            kind_ = TargetKind::kFloat;
        } else if (target_kind == "int") {
            kind_ = TargetKind::kInt;
        } else if (target_kind == "label") {
            kind_ = TargetKind::kLabel;
        } else {
            throw py::value_error("csv reader: target_kind is 'float', 'int' or 'label'");
        }
#ifndef KAVRO_HAVE_ZLIB
        if (gzip) throw py::value_error("csv reader: this build reads no gzip'd files");
#endif
        thread_ = std::thread([this, path = std::move(path), start, gzip] { work(path, gzip, start); });
    }
    CsvBlockReader(const CsvBlockReader&) = delete;
    CsvBlockReader& operator=(const CsvBlockReader&) = delete;
    ~CsvBlockReader() { stop(); }

    // The next block (X, y, fresh labels), or None once the reader is done.
    py::object next() {
        std::unique_ptr<Block> block;
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
        return to_python(std::move(block));
    }

    // The file offset of the first line left unread, or None when the file was read to its end
    // (meaningful once next() returned None).
    py::object stopped_at() const {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!done_) throw py::value_error("csv reader: still reading");
        if (stopped_at_ < 0) return py::none();
        return py::int_(stopped_at_);
    }

    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            cancel_ = true;
        }
        room_.notify_all();
        if (thread_.joinable()) {
            if (PyGILState_Check() != 0) {
                py::gil_scoped_release release;
                thread_.join();
            } else {
                thread_.join();
            }
        }
    }

private:
    py::object to_python(std::unique_ptr<Block> block) {
        const auto rows = static_cast<py::ssize_t>(block->rows);
        const auto nf = static_cast<py::ssize_t>(features_.size());
        auto* owner = block.release();
        py::capsule keep(owner, [](void* p) { delete static_cast<Block*>(p); });
        py::array_t<double> X({rows, nf}, {nf * static_cast<py::ssize_t>(sizeof(double)),
                                           static_cast<py::ssize_t>(sizeof(double))},
                              owner->X.get(), keep);
        py::object y;
        if (kind_ == TargetKind::kFloat) {
            y = py::array_t<double>({rows}, {static_cast<py::ssize_t>(sizeof(double))}, owner->y_float.data(), keep);
        } else {
            y = py::array_t<std::int64_t>({rows}, {static_cast<py::ssize_t>(sizeof(std::int64_t))},
                                          owner->y_int.data(), keep);
        }
        py::list fresh;
        for (const auto& s : owner->fresh) fresh.append(py::bytes(s));
        return py::make_tuple(X, y, fresh);
    }

    // Reads every line it can; sets stopped_at_ to the offset of the first it cannot.
    void work(const std::string& path, bool gzip, std::int64_t start) {
        try {
            Source src(path, gzip, start);
            std::int64_t stopped = start;
            if (src.ok()) stopped = read_lines(src);
            finish(stopped);
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
        for (;;) {
            if (cancelled()) return -1;
            if (!src.hold(1)) return static_cast<std::int64_t>(src.offset());
            if (src.at_end()) break;
            const std::size_t len = src.line_length();
            if (len == Source::npos || !src.ascii_through(len + 1)) break;
            const char* line = src.data() + src.pos();
            const char* end = line + len;
            const std::size_t next = src.pos() + len + (src.pos() + len < src.size() ? 1 : 0);
            if (end > line && end[-1] == '\r') --end;
            if (end == line) {  // an empty line: no row
                src.advance(next);
                continue;
            }
            // The row's cells go straight to its place in the block; a line that does not
            // convert leaves them in capacity the block does not count.
            if (!split(line, end, fields) || !convert(fields, block->X.get() + block->rows * features_.size(), *block)) {
                break;
            }
            ++block->rows;
            src.advance(next);
            if (block->rows == capacity) {
                if (!push(std::move(block))) return -1;
                capacity = std::min(capacity * 2, block_rows_);
                block = fresh_block(capacity);
            }
        }
        const bool at_end = src.at_end();
        const auto offset = static_cast<std::int64_t>(src.offset());
        if (block->rows > 0 && !push(std::move(block))) return -1;
        return at_end ? -1 : offset;
    }

    std::unique_ptr<Block> fresh_block(std::size_t capacity) const {
        auto b = std::make_unique<Block>();
        b->X.reset(new double[std::max<std::size_t>(capacity * features_.size(), 1)]);
        if (kind_ == TargetKind::kFloat) {
            b->y_float.reserve(capacity);
        } else {
            b->y_int.reserve(capacity);
        }
        return b;
    }

    // The fields of a line holding no quote, carriage return or NUL, when it has `width` of
    // them, none past the size limit.
    bool split(const char* p, const char* end, std::vector<std::pair<const char*, const char*>>& fields) const {
        std::size_t n = 0;
        const char* start = p;
        for (;; ++p) {
            if (p < end && !stops_[static_cast<unsigned char>(*p)]) continue;
            if (p < end && *p != delimiter_) return false;  // a quote, carriage return or NUL
            if (n == fields.size() || p - start > size_limit_) return false;
            fields[n++] = {start, p};
            if (p == end) break;
            start = p + 1;
        }
        return n == fields.size();
    }

    // The row's feature values (NaN = absent) and its target, when each converts exactly.
    bool convert(const std::vector<std::pair<const char*, const char*>>& fields, double* row, Block& block) {
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
    std::int64_t label_code(const char* p, const char* e, Block& block) {
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

    bool push(std::unique_ptr<Block> block) {
        std::unique_lock<std::mutex> lock(mutex_);
        room_.wait(lock, [this] { return queue_.size() < kQueued || cancel_; });
        if (cancel_) return false;
        queue_.push_back(std::move(block));
        ready_.notify_one();
        return true;
    }

    void finish(std::int64_t stopped) {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_at_ = stopped;
        done_ = true;
        ready_.notify_all();
    }

    std::vector<int> features_;
    int target_;
    int width_;
    std::int64_t size_limit_;
    std::size_t block_rows_;
    char delimiter_ = ',';
    bool stops_[256] = {};  // bytes that end or refuse a field
    TargetKind kind_ = TargetKind::kFloat;
    // Label texts by code; looked up in turn while few, then through the map (reading thread only).
    std::vector<std::string> label_list_;
    std::unordered_map<std::string, std::int64_t> labels_;

    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable room_;
    std::deque<std::unique_ptr<Block>> queue_;
    bool done_ = false;
    std::atomic<bool> cancel_{false};
    std::int64_t stopped_at_ = -1;
    std::exception_ptr error_;
    std::thread thread_;
};

}  // namespace

void bind_csv_reader(py::module_& m) {
    py::class_<CsvBlockReader>(m, "CsvBlockReader",
                               "Blocks of the plain lines of a CSV file from an offset, read and "
                               "converted on a thread of its own.")
        .def(py::init<std::string, std::int64_t, const std::string&, int, std::vector<int>, int,
                      const std::string&, std::int64_t, std::int64_t, bool>(),
             py::arg("path"), py::arg("start"), py::arg("delimiter"), py::arg("width"),
             py::arg("features"), py::arg("target"), py::arg("target_kind"), py::arg("size_limit"),
             py::arg("block_rows"), py::arg("gzip") = false,
             "Reads the file from byte `start` (a line start) in rows of `width` fields. Each "
             "block's X holds the `features` columns (NaN = absent), its y the `target` column: "
             "float64 ('float'), int64 ('int'), or int64 codes of the raw label texts ('label', "
             "numbered in order of first appearance; each block lists those it saw first). With gzip, "
             "`start` counts the bytes the gzip'd file holds.")
        .def("next", &CsvBlockReader::next,
             "The next block (X, y, fresh labels as bytes), or None when done; waits without the GIL.")
        .def_property_readonly("stopped_at", &CsvBlockReader::stopped_at,
                               "The offset of the first line left unread, None at the end of the file.")
        .def("close", &CsvBlockReader::stop, "Stop reading and join the thread.");
#ifdef KAVRO_HAVE_ZLIB
    m.attr("CSV_READS_GZIP") = true;
#else
    m.attr("CSV_READS_GZIP") = false;
#endif
}

}  // namespace kavro::native
