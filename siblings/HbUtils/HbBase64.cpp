#include "siblings/HbUtils/HbBase64.h"

#include <array>
#include <cstdint>

namespace HbBase64 {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';
constexpr std::int8_t kNotInAlphabet = -1;

constexpr std::array<std::int8_t, 256> MakeDecodeTable() {
    std::array<std::int8_t, 256> table{};
    for (auto& entry : table)
        entry = kNotInAlphabet;
    for (int i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
    return table;
}

constexpr std::array<std::int8_t, 256> kDecodeTable = MakeDecodeTable();

}  // namespace

std::string Encode(const void* data, std::size_t size) {
    const unsigned char* in = static_cast<const unsigned char*>(data);
    std::string out;
    out.reserve((size + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        std::uint32_t group = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
        out += kAlphabet[(group >> 18) & 0x3F];
        out += kAlphabet[(group >> 12) & 0x3F];
        out += kAlphabet[(group >> 6) & 0x3F];
        out += kAlphabet[group & 0x3F];
    }
    std::size_t rest = size - i;
    if (rest > 0) {
        std::uint32_t group = in[i] << 16;
        if (rest == 2)
            group |= in[i + 1] << 8;
        out += kAlphabet[(group >> 18) & 0x3F];
        out += kAlphabet[(group >> 12) & 0x3F];
        out += rest == 2 ? kAlphabet[(group >> 6) & 0x3F] : kPad;
        out += kPad;
    }
    return out;
}

std::string Encode(std::string_view bytes) {
    return Encode(bytes.data(), bytes.size());
}

bool Decode(std::string_view text, std::string& out) {
    out.clear();
    if (text.size() % 4 != 0)
        return false;
    std::string decoded;
    decoded.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        bool last = i + 4 == text.size();
        int padding = 0;
        if (last && text[i + 3] == kPad)
            padding = text[i + 2] == kPad ? 2 : 1;
        std::uint32_t group = 0;
        for (int k = 0; k < 4; ++k) {
            std::int8_t value = 0;
            if (k < 4 - padding) {
                value = kDecodeTable[static_cast<unsigned char>(text[i + k])];
                if (value == kNotInAlphabet)
                    return false;
            }
            group = (group << 6) | static_cast<std::uint32_t>(value);
        }
        // Bits that the padding leaves unused must be zero, or two texts would decode to
        // the same bytes.
        if (padding == 2 && (group & 0xFFFF) != 0)
            return false;
        if (padding == 1 && (group & 0xFF) != 0)
            return false;
        decoded += static_cast<char>((group >> 16) & 0xFF);
        if (padding < 2)
            decoded += static_cast<char>((group >> 8) & 0xFF);
        if (padding < 1)
            decoded += static_cast<char>(group & 0xFF);
    }
    out = std::move(decoded);
    return true;
}

}  // namespace HbBase64
