#include "stream/streamwire.h"

#include "platform/exception.h"
#include "platform/strtoint.h"

namespace kc::strm {

const std::string &acknowledgement()
{
    static const std::string text = "OK" + std::string(AcknowledgementSize - 2, ' ');
    return text;
}

std::string nameField(const std::string &fromName)
{
    return kc::format("%.4d", static_cast<int>(fromName.size())) + fromName;
}

std::string sizeField(int64_t size)
{
    return kc::format("%10d", static_cast<int>(size));
}

std::string header(const std::string &fromName, int64_t size)
{
    return nameField(fromName) + sizeField(size);
}

std::string checkMessage(const std::string &fromName, int64_t size)
{
    if (fromName.size() > static_cast<size_t>(MaxNameLength))
        return kc::format("Der Absendername ist zu lang (%zu Bytes, h\xF6" "chstens %d)", fromName.size(),
                          MaxNameLength);
    if (fromName.find('\0') != std::string::npos)
        return "Der Absendername darf kein Nullzeichen enthalten";
    if (size > MaxStreamSize)
        return kc::format("Der Stream ist zu gro\xDF (%lld Bytes); h\xF6" "chstens %lld Bytes k\xF6" "nnen "
                          "gesendet werden",
                          static_cast<long long>(size), static_cast<long long>(MaxStreamSize));
    return {};
}

std::optional<int32_t> readHeaderNumber(const std::string &field)
{
    int32_t value = 0;
    if (!kc::TryStrToInt(field, value) || value < 0)
        return std::nullopt;
    return value;
}

} // namespace kc::strm
