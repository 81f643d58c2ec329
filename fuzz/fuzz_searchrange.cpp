// The search window's range fields: whatever is typed, a search probes only
// well-formed addresses of one a.b.c range, or the input is refused.
#include "fuzzcheck.h"
#include "platform/exception.h"
#include "platform/strtoint.h"
#include "search/searchcore.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    FuzzedDataProvider input(bytes, size);
    const std::string part1 = input.ConsumeRandomLengthString(16);
    const std::string part2 = input.ConsumeRandomLengthString(16);
    const std::string part3 = input.ConsumeRandomLengthString(16);
    const std::string port = input.ConsumeRandomLengthString(16);
    int32_t p1 = 0, p2 = 0, p3 = 0, v = 0;
    const bool allNumbers = kc::TryStrToInt(part1, p1) && kc::TryStrToInt(part2, p2) && kc::TryStrToInt(part3, p3)
        && kc::TryStrToInt(port, v);
    // Address parts out of range are refused as text that is no number is.
    const bool readable = allNumbers && p1 >= 1 && p1 <= 255 && p2 >= 0 && p2 <= 255 && p3 >= 0 && p3 <= 255;

    search::SearchRange range;
    try {
        range = search::readRange(part1, part2, part3, port);
    } catch (const kc::EConvertError &) {
        FUZZ_REQUIRE(!readable);
        return 0;
    }
    FUZZ_REQUIRE(readable);
    FUZZ_REQUIRE(range.searchPort == kc::StrToInt(port));
    FUZZ_REQUIRE(search::validPort(range.searchPort) == (range.searchPort >= 1 && range.searchPort <= 65535));
    FUZZ_REQUIRE(range.ipPart1 >= 1 && range.ipPart1 <= 255);
    FUZZ_REQUIRE(range.ipPart2 >= 0 && range.ipPart2 <= 255);
    FUZZ_REQUIRE(range.ipPart3 >= 0 && range.ipPart3 <= 255);
    FUZZ_REQUIRE(range.ipPart1 == p1 && range.ipPart2 == p2 && range.ipPart3 == p3);

    const std::string prefix = std::to_string(range.ipPart1) + "." + std::to_string(range.ipPart2) + "."
        + std::to_string(range.ipPart3) + ".";
    for (int host : {1, input.ConsumeIntegralInRange(1, search::kProbeCount), search::kProbeCount}) {
        const std::string address = search::probeAddress(range, host);
        in_addr parsed{};
        FUZZ_REQUIRE(inet_pton(AF_INET, address.c_str(), &parsed) == 1);
        FUZZ_REQUIRE(address == prefix + std::to_string(host));
    }
    for (int host : {0, 256}) {
        bool refused = false;
        try {
            search::probeAddress(range, host);
        } catch (const std::out_of_range &) {
            refused = true;
        }
        FUZZ_REQUIRE(refused);
    }

    // The table of found servers keeps each address once and never overflows.
    search::ServerTable table;
    while (input.remaining_bytes() > 0) {
        search::T_server server{prefix + std::to_string(input.ConsumeIntegral<uint8_t>()), "", range.searchPort};
        const int before = table.lastFound();
        bool known = false;
        for (int i = 0; i <= before; ++i)
            known = known || table.at(i).address == server.address;
        const bool added = table.add(server);
        FUZZ_REQUIRE(added == (!known && before + 1 < search::kMaxServers));
        FUZZ_REQUIRE(table.lastFound() == before + (added ? 1 : 0));
        FUZZ_REQUIRE(int(table.lines().size()) == table.lastFound() + 1);
    }
    return 0;
}
