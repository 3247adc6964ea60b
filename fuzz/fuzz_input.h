#pragma once
// Takes a fuzz input apart front to back; reading past its end gives zeros,
// so every input, however short, decodes to something.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t word() {
        const uint16_t low = byte();
        return static_cast<uint16_t>(low | (byte() << 8));
    }
    // Any bit pattern, NaNs and infinities included.
    double rawDouble() {
        uint8_t bytes[8];
        for (uint8_t& b : bytes) b = byte();
        double value;
        std::memcpy(&value, bytes, sizeof value);
        return value;
    }
    std::string bytes(size_t count) {
        const size_t n = count < size_ - pos_ ? count : size_ - pos_;
        std::string text(reinterpret_cast<const char*>(data_ + pos_), n);
        pos_ += n;
        return text;
    }
    std::string rest() { return bytes(size_ - pos_); }
    size_t remaining() const { return size_ - pos_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};
