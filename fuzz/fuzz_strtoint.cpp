// The program's integer conversion against a plain reading of its grammar.
#include "fuzzcheck.h"
#include "platform/exception.h"
#include "platform/strtoint.h"

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace {

// Blanks, sign, then decimal digits or hex digits after "$", "x", "X", "0x", "0X".
std::optional<int32_t> expected(const std::string &text)
{
    size_t i = text.find_first_not_of(' ');
    if (i == std::string::npos)
        return std::nullopt;
    bool negative = false;
    if (text[i] == '+' || text[i] == '-')
        negative = text[i++] == '-';
    int base = 10;
    if (text.compare(i, 1, "$") == 0 || text.compare(i, 1, "x") == 0 || text.compare(i, 1, "X") == 0) {
        base = 16;
        i += 1;
    } else if (text.compare(i, 2, "0x") == 0 || text.compare(i, 2, "0X") == 0) {
        base = 16;
        i += 2;
    }
    const std::string digits = text.substr(i);
    if (digits.empty())
        return std::nullopt;
    for (char c : digits) {
        const bool ok = base == 10 ? (c >= '0' && c <= '9')
                                   : ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'));
        if (!ok)
            return std::nullopt;
    }
    const size_t significant = digits.find_first_not_of('0');
    if (significant == std::string::npos)
        return 0;
    if (digits.size() - significant > 12)
        return std::nullopt;
    uint64_t magnitude = 0;
    std::from_chars(digits.data() + significant, digits.data() + digits.size(), magnitude, base);
    if (base == 16) {
        if (magnitude > 0xFFFFFFFFull)
            return std::nullopt;
        const int32_t value = static_cast<int32_t>(static_cast<uint32_t>(magnitude));
        return negative ? static_cast<int32_t>(0u - static_cast<uint32_t>(value)) : value;
    }
    const int64_t value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    if (value < INT32_MIN || value > INT32_MAX)
        return std::nullopt;
    return static_cast<int32_t>(value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(bytes), size);
    int32_t value = 0;
    const bool ok = kc::TryStrToInt(text, value);
    const std::optional<int32_t> want = expected(text);
    FUZZ_REQUIRE(ok == want.has_value());
    if (ok)
        FUZZ_REQUIRE(value == *want);

    try {
        const int32_t thrown = kc::StrToInt(text);
        FUZZ_REQUIRE(ok && thrown == value);
        // Written back as plain decimal, the number reads the same.
        FUZZ_REQUIRE(kc::StrToInt(kc::IntToStr(thrown)) == thrown);
    } catch (const kc::EConvertError &e) {
        FUZZ_REQUIRE(!ok);
        FUZZ_REQUIRE(e.message().bytes().rfind("'", 0) == 0);
        FUZZ_REQUIRE(e.message().bytes().find("' ist kein g\xFCltiger Integerwert") != std::string::npos);
    }
    return 0;
}
