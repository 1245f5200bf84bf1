// The QR symbol of the pairing URL: a small C++ face over the QR Code
// generator library's C version (installed by scripts/setup), offering what
// the editor draws with.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace qrcodegen {

// Thrown when a text does not fit the largest symbol.
class data_too_long : public std::length_error {
public:
    explicit data_too_long(const std::string& msg) : std::length_error(msg) {}
};

class QrCode {
public:
    enum class Ecc { LOW, MEDIUM, QUARTILE, HIGH };

    // The smallest symbol (versions 1 to 40) that holds the text at the
    // given correction level, with automatic mask and the level raised
    // where the version still holds the text.
    static QrCode encodeText(const char* text, Ecc ecl);

    // Modules per side (21 to 177).
    int getSize() const { return size_; }
    // True for a dark module; false outside the symbol.
    bool getModule(int x, int y) const;

private:
    QrCode(int size, std::vector<std::uint8_t> modules) : size_(size), modules_(std::move(modules)) {}
    int size_;
    std::vector<std::uint8_t> modules_;  // row-major, one byte a module
};

}  // namespace qrcodegen
