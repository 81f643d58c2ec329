// The stream message header: reading the two number fields as the receiver
// does, and building headers the receiver reads back exactly.
#include "fuzzcheck.h"
#include "platform/strtoint.h"
#include "stream/streamwire.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

void checkField(const std::string &field)
{
    const auto number = kc::strm::readHeaderNumber(field);
    int32_t value = 0;
    const bool converts = kc::TryStrToInt(field, value);
    FUZZ_REQUIRE(number.has_value() == (converts && value >= 0));
    if (number)
        FUZZ_REQUIRE(*number == value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    FuzzedDataProvider input(bytes, size);
    // A received header: four bytes of name length, then ten of size.
    checkField(input.ConsumeBytesAsString(kc::strm::NameLengthFieldSize));
    checkField(input.ConsumeBytesAsString(kc::strm::SizeFieldSize));

    const int64_t streamSize = input.ConsumeIntegralInRange<int64_t>(-1, kc::strm::MaxStreamSize + 1);
    const std::string name = input.ConsumeRemainingBytesAsString();
    const std::string problem = kc::strm::checkMessage(name, streamSize);
    const bool sendable = name.size() <= size_t(kc::strm::MaxNameLength) && name.find('\0') == std::string::npos
        && streamSize <= kc::strm::MaxStreamSize;
    FUZZ_REQUIRE(problem.empty() == sendable);
    if (!sendable || streamSize < 0)
        return 0;

    // What the sender writes, the receiver reads back field by field.
    const std::string header = kc::strm::header(name, streamSize);
    FUZZ_REQUIRE(header.size() == kc::strm::NameLengthFieldSize + name.size() + kc::strm::SizeFieldSize);
    const auto length = kc::strm::readHeaderNumber(header.substr(0, kc::strm::NameLengthFieldSize));
    FUZZ_REQUIRE(length && size_t(*length) == name.size());
    FUZZ_REQUIRE(header.compare(kc::strm::NameLengthFieldSize, name.size(), name) == 0);
    const auto sizeRead = kc::strm::readHeaderNumber(header.substr(kc::strm::NameLengthFieldSize + name.size()));
    FUZZ_REQUIRE(sizeRead && *sizeRead == streamSize);
    return 0;
}
