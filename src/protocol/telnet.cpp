#include "telnet.h"

namespace qv7::telnet {

namespace {

std::string negotiation(unsigned char verb, unsigned char option)
{
    return {char(kIac), char(verb), char(option)};
}

std::string subnegotiation(unsigned char option, unsigned char command, std::string_view value)
{
    return std::string{char(kIac), char(kSb), char(option), char(command)} + escape(value) +
           std::string{char(kIac), char(kSe)};
}

} // namespace

void Parser::feed(std::string_view bytes, std::vector<Piece> &pieces)
{
    for (const char byte : bytes)
        take(static_cast<unsigned char>(byte), pieces);
}

void Parser::take(unsigned char byte, std::vector<Piece> &pieces)
{
    const auto data = [&pieces](char c) {
        if (pieces.empty() || pieces.back().kind != Piece::Kind::Data)
            pieces.push_back({Piece::Kind::Data, 0, {}});
        pieces.back().bytes += c;
    };
    switch (state_) {
    case State::Data:
        if (byte == kIac)
            state_ = State::Iac;
        else
            data(char(byte));
        return;
    case State::Iac:
        state_ = State::Data;
        switch (byte) {
        case kIac:
            data(char(byte));
            return;
        case kWill:
        case kWont:
        case kDo:
        case kDont:
            verb_ = byte == kWill   ? Piece::Kind::Will
                    : byte == kWont ? Piece::Kind::Wont
                    : byte == kDo   ? Piece::Kind::Do
                                    : Piece::Kind::Dont;
            state_ = State::Verb;
            return;
        case kSb:
            state_ = State::SbOption;
            return;
        default:
            return;
        }
    case State::Verb:
        pieces.push_back({verb_, byte, {}});
        state_ = State::Data;
        return;
    case State::SbOption:
        subnegotiation_.option = byte;
        subnegotiation_.bytes.clear();
        state_ = State::Sb;
        return;
    case State::Sb:
        if (byte == kIac)
            state_ = State::SbIac;
        else if (subnegotiation_.bytes.size() < kMaxSubnegotiation)
            subnegotiation_.bytes += char(byte);
        return;
    case State::SbIac:
        if (byte == kIac) {
            if (subnegotiation_.bytes.size() < kMaxSubnegotiation)
                subnegotiation_.bytes += char(byte);
            state_ = State::Sb;
        } else if (byte == kSe) {
            pieces.push_back(subnegotiation_);
            state_ = State::Data;
        } else {
            // Unfinished: the IAC starts a command of its own.
            state_ = State::Iac;
            take(byte, pieces);
        }
        return;
    }
}

std::string escape(std::string_view data)
{
    std::string escaped;
    escaped.reserve(data.size());
    for (const char c : data) {
        escaped += c;
        if (static_cast<unsigned char>(c) == kIac)
            escaped += c;
    }
    return escaped;
}

Options::Options(std::initializer_list<unsigned char> ours,
                 std::initializer_list<unsigned char> theirs)
{
    for (const unsigned char option : ours)
        weWill_[option] = true;
    for (const unsigned char option : theirs)
        theyMay_[option] = true;
}

std::string Options::offer(unsigned char option)
{
    if (ours_[option] != State::Off)
        return {};
    ours_[option] = State::Asked;
    return negotiation(kWill, option);
}

std::string Options::ask(unsigned char option)
{
    if (theirs_[option] != State::Off)
        return {};
    theirs_[option] = State::Asked;
    return negotiation(kDo, option);
}

std::string Options::answer(Piece::Kind verb, unsigned char option)
{
    const bool enable = verb == Piece::Kind::Will || verb == Piece::Kind::Do;
    const bool theirSide = verb == Piece::Kind::Will || verb == Piece::Kind::Wont;
    State &state = theirSide ? theirs_[option] : ours_[option];
    const bool acceptable = theirSide ? theyMay_[option] : weWill_[option];
    const unsigned char yes = theirSide ? kDo : kWill;
    const unsigned char no = theirSide ? kDont : kWont;
    switch (state) {
    case State::Asked:
        // The answer to our own request: nothing more is due.
        state = enable ? State::On : State::Off;
        return {};
    case State::On:
        if (enable)
            return {};
        state = State::Off;
        return negotiation(no, option);
    case State::Off:
        if (!enable)
            return {};
        if (!acceptable)
            return negotiation(no, option);
        state = State::On;
        return negotiation(yes, option);
    }
    return {};
}

namespace comport {

namespace {

// The codes of RFC 2217 for parity and stop size, in the order of the line settings' enums.
constexpr unsigned char kParityCodes[] = {1, 3, 2, 4, 5}; // none, even, odd, mark, space
constexpr unsigned char kStopCodes[] = {1, 3, 2};         // one, one and a half, two

std::string bigEndian(std::uint32_t value)
{
    return {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
}

template <typename Enum, std::size_t N>
std::optional<Enum> fromCode(const unsigned char (&codes)[N], unsigned char code)
{
    for (std::size_t i = 0; i < N; ++i)
        if (codes[i] == code)
            return static_cast<Enum>(i);
    return std::nullopt;
}

} // namespace

std::string requestLineSettings(const LineSettings &settings)
{
    return subnegotiation(kComPort, SetBaudRate,
                          bigEndian(static_cast<std::uint32_t>(settings.baudRate))) +
           subnegotiation(kComPort, SetDataSize, std::string(1, char(settings.dataBits))) +
           subnegotiation(kComPort, SetParity,
                          std::string(1, char(kParityCodes[int(settings.parity)]))) +
           subnegotiation(kComPort, SetStopSize,
                          std::string(1, char(kStopCodes[int(settings.stopBits)])));
}

std::optional<Command> acknowledged(std::string_view payload)
{
    if (payload.empty())
        return std::nullopt;
    const int code = static_cast<unsigned char>(payload.front()) - kServerOffset;
    if (code < SetBaudRate || code > SetStopSize)
        return std::nullopt;
    return static_cast<Command>(code);
}

std::string serve(std::string_view payload, LineSettings &line, Control &control)
{
    if (payload.empty())
        return {};
    const auto command = static_cast<unsigned char>(payload.front());
    const std::string_view value = payload.substr(1);
    const auto byteValue = [&value]() -> unsigned char {
        return value.size() == 1 ? static_cast<unsigned char>(value.front()) : 0;
    };
    const auto reply = [command](std::string_view answer) {
        return subnegotiation(kComPort, command + kServerOffset, answer);
    };
    switch (command) {
    case SetBaudRate: {
        if (value.size() != 4)
            return {};
        std::uint32_t baud = 0;
        for (const char c : value)
            baud = baud << 8 | static_cast<unsigned char>(c);
        if (baud != 0 && baud <= 4000000)
            line.baudRate = int(baud);
        return reply(bigEndian(static_cast<std::uint32_t>(line.baudRate)));
    }
    case SetDataSize:
        if (const unsigned char bits = byteValue(); bits >= 5 && bits <= 8)
            line.dataBits = bits;
        return reply(std::string(1, char(line.dataBits)));
    case SetParity:
        if (const auto parity = fromCode<Parity>(kParityCodes, byteValue()))
            line.parity = *parity;
        return reply(std::string(1, char(kParityCodes[int(line.parity)])));
    case SetStopSize:
        if (const auto stop = fromCode<StopBits>(kStopCodes, byteValue()))
            line.stopBits = *stop;
        return reply(std::string(1, char(kStopCodes[int(line.stopBits)])));
    case SetControl: {
        // Codes come in groups: a request, then the values it may take.
        const unsigned char code = byteValue();
        unsigned char *state = code <= 3    ? &control.flow
                               : code <= 6  ? &control.breakState
                               : code <= 9  ? &control.dtr
                               : code <= 12 ? &control.rts
                               : code <= 19 ? &control.inbound
                                            : nullptr;
        if (!state)
            return {};
        const bool request = code == 0 || code == 4 || code == 7 || code == 10 || code == 13;
        const bool flowControl = code == 2 || code == 3 || code >= 15;
        if (!request && !flowControl)
            *state = code;
        return reply(std::string(1, char(*state)));
    }
    case SetLineStateMask:
    case SetModemStateMask:
        // Taken as asked: this server notifies nothing, so every mask is honoured.
        return value.size() == 1 ? reply(value) : std::string();
    case PurgeData:
        // Acknowledged; a simulated line keeps no buffer worth purging.
        return byteValue() >= 1 && byteValue() <= 3 ? reply(value) : std::string();
    default:
        return {};
    }
}

} // namespace comport

} // namespace qv7::telnet
