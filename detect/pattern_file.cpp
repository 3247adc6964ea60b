#include "pattern_file.h"
#include <cstdio>
#include <cstring>

namespace {

bool readRotation(FILE* file, PatternCode& code) {
    for (int plane = 0; plane < kPatternPlanes; ++plane)
        for (int row = 0; row < kPatternSide; ++row)
            for (int column = 0; column < kPatternSide; ++column) {
                int value;
                // A value that is not a byte would overflow the 32-bit sums of
                // loading and matching.
                if (std::fscanf(file, "%d", &value) != 1 || value < 0 || value > 255) return false;
                code.value[(row * kPatternSide + column) * kPatternPlanes + plane] = static_cast<uint8_t>(value);
            }
    return true;
}

int writeRotations(FILE* file, const PatternCode codes[kPatternRotations]) {
    for (int r = 0; r < kPatternRotations; ++r) {
        for (int p = 0; p < kPatternPlanes; ++p) {
            for (int y = 0; y < kPatternSide; ++y) {
                for (int x = 0; x < kPatternSide; ++x) {
                    if (std::fprintf(file, "%4d", codes[r].value[(y * kPatternSide + x) * kPatternPlanes + p]) < 0)
                        return -1;
                }
                if (std::fputc('\n', file) == EOF) return -1;
            }
        }
        if (std::fputc('\n', file) == EOF) return -1;
    }
    return 0;
}

} // namespace

PatternFileRead readPatternFile(const char* path, PatternCode codes[kPatternRotations]) {
    FILE* file = std::fopen(path, "r");
    if (!file) return PatternFileRead::CannotOpen;
    // Read into scratch so that a damaged file leaves `codes` as it was.
    PatternCode read[kPatternRotations];
    bool whole = true;
    for (int r = 0; r < kPatternRotations && whole; ++r) whole = readRotation(file, read[r]);
    std::fclose(file);
    if (!whole) return PatternFileRead::BadData;
    std::memcpy(codes, read, sizeof read);
    return PatternFileRead::Read;
}

int writePatternCodes(const char* path, const PatternCode codes[kPatternRotations]) {
    FILE* file = std::fopen(path, "w");
    if (!file) return -1;
    const int written = writeRotations(file, codes);
    if (std::fclose(file) != 0 || written < 0) {
        std::remove(path);
        return -1;
    }
    return 0;
}

std::string numberedFileName(int index, const char* extension) {
    char number[16];
    std::snprintf(number, sizeof number, "%03d", index);
    return number + std::string(extension);
}

std::string patternFilePath(int index) { return "Data/" + numberedFileName(index, ".patt"); }

std::string thumbnailFilePath(int index) { return "Data/" + numberedFileName(index, ".jpg"); }

int numberedFileIndex(const std::string& fileName, const char* extension) {
    const size_t suffix = std::strlen(extension);
    if (fileName.size() < 3 + suffix || fileName.compare(fileName.size() - suffix, suffix, extension) != 0) return -1;
    const std::string digits = fileName.substr(0, fileName.size() - suffix);
    // At least three digits, and a leading zero only where padding needs it,
    // so that each row has exactly one name.
    if (digits.size() > 9 || (digits.size() > 3 && digits[0] == '0')) return -1;
    int index = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return -1;
        index = index * 10 + (c - '0');
    }
    return index;
}
