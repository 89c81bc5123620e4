// Destinations of the model file text. The writer produces the text in small
// pieces; a sink collects them in a fixed buffer and hands full buffers on,
// so a model of any size is written without holding its text in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace corvane::model_file {

// Thread-safety: an object is used by one thread at a time.
class OutputSink {
 public:
  virtual ~OutputSink() = default;
  OutputSink(const OutputSink&) = delete;
  OutputSink& operator=(const OutputSink&) = delete;

  void push_back(char c) {
    if (pos_ == end_) return overflow(&c, 1);
    *pos_++ = c;
  }
  void append(const char* data, std::size_t size) {
    if (size > static_cast<std::size_t>(end_ - pos_)) return overflow(data, size);
    // An empty piece copies nothing: a sink without a buffer has no place
    // to copy it to, and memcpy may not even be given that.
    if (size != 0) std::memcpy(pos_, data, size);
    pos_ += size;
  }
  void append(std::string_view text) { append(text.data(), text.size()); }

  // `separator` and `unit`, written `count` times in a row. A sink that only
  // measures the text overrides this to count without producing the bytes.
  virtual void append_repeated(char separator, std::string_view unit, std::uint64_t count) {
    for (std::uint64_t i = 0; i < count; ++i) {
      push_back(separator);
      append(unit);
    }
  }

  // Hands everything buffered so far on.
  void flush() {
    if (pos_ != begin_) {
      const std::size_t size = static_cast<std::size_t>(pos_ - begin_);
      pos_ = begin_;
      drain(begin_, size);
    }
  }

 protected:
  // A capacity of 0 hands every piece on as it comes.
  OutputSink(char* buffer, std::size_t capacity)
      : begin_(buffer), pos_(buffer), end_(buffer + capacity) {}

  // Receives the bytes that leave the buffer, in order.
  virtual void drain(const char* data, std::size_t size) = 0;

 private:
  void overflow(const char* data, std::size_t size) {
    flush();
    if (size > static_cast<std::size_t>(end_ - begin_)) {
      drain(data, size);
    } else {
      std::memcpy(pos_, data, size);
      pos_ += size;
    }
  }

  char* begin_;
  char* pos_;
  char* end_;
};

// Appends to a string as the text comes (for building small texts).
class StringSink final : public OutputSink {
 public:
  explicit StringSink(std::string& out) : OutputSink(nullptr, 0), out_(out) {}

 protected:
  void drain(const char* data, std::size_t size) override { out_.append(data, size); }

 private:
  std::string& out_;
};

// Measures the text without keeping it. Saturates at 2^64 - 1 and remembers
// that it did, since a deep tree's text can outgrow any 64-bit count.
class CountingSink final : public OutputSink {
 public:
  CountingSink() : OutputSink(buffer_, sizeof buffer_) {}

  void append_repeated(char, std::string_view unit, std::uint64_t count) override {
    flush();
    const std::uint64_t each = unit.size() + 1;
    if (count != 0 && each > UINT64_MAX / count) return saturate();
    add(each * count);
  }

  // Bytes counted so far (after flush()); meaningful only when !overflowed().
  std::uint64_t bytes() const { return bytes_; }
  bool overflowed() const { return overflowed_; }

 protected:
  void drain(const char*, std::size_t size) override { add(size); }

 private:
  void add(std::uint64_t n) {
    if (n > UINT64_MAX - bytes_) return saturate();
    bytes_ += n;
  }
  void saturate() {
    bytes_ = UINT64_MAX;
    overflowed_ = true;
  }

  char buffer_[4096];
  std::uint64_t bytes_ = 0;
  bool overflowed_ = false;
};

}  // namespace corvane::model_file
