#include "editor/qr_code.h"

#include <array>

// The library's C version is header-only with static functions: it is
// compiled into this one translation unit.
#include "faust/gui/qrcodegen.h"

namespace qrcodegen {

namespace {
qrcodegen_Ecc toLibrary(QrCode::Ecc ecl) {
    switch (ecl) {
        case QrCode::Ecc::LOW: return qrcodegen_Ecc_LOW;
        case QrCode::Ecc::MEDIUM: return qrcodegen_Ecc_MEDIUM;
        case QrCode::Ecc::QUARTILE: return qrcodegen_Ecc_QUARTILE;
        case QrCode::Ecc::HIGH: return qrcodegen_Ecc_HIGH;
    }
    return qrcodegen_Ecc_MEDIUM;
}
}  // namespace

QrCode QrCode::encodeText(const char* text, Ecc ecl) {
    std::vector<std::uint8_t> temp(qrcodegen_BUFFER_LEN_MAX);
    std::vector<std::uint8_t> symbol(qrcodegen_BUFFER_LEN_MAX);
    if (!qrcodegen_encodeText(text, temp.data(), symbol.data(), toLibrary(ecl), qrcodegen_VERSION_MIN,
                              qrcodegen_VERSION_MAX, qrcodegen_Mask_AUTO, true))
        throw data_too_long("Data too long");
    const int size = qrcodegen_getSize(symbol.data());
    std::vector<std::uint8_t> modules(static_cast<std::size_t>(size) * static_cast<std::size_t>(size));
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x)
            modules[static_cast<std::size_t>(y * size + x)] = qrcodegen_getModule(symbol.data(), x, y) ? 1 : 0;
    return QrCode(size, std::move(modules));
}

bool QrCode::getModule(int x, int y) const {
    if (x < 0 || y < 0 || x >= size_ || y >= size_) return false;
    return modules_[static_cast<std::size_t>(y * size_ + x)] != 0;
}

}  // namespace qrcodegen
