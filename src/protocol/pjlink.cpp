#include "pjlink.h"

#include <algorithm>
#include <cctype>

namespace qv7::pjlink {

namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isPrintable(char c)
{
    return c >= 0x20 && c <= 0x7e;
}

bool isBodyCharacter(char c)
{
    return isDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

} // namespace

std::optional<Request> parseRequest(std::string_view line)
{
    if (line.size() < 2 + kBodyLength || line[0] != '%' || !isDigit(line[1]))
        return std::nullopt;
    const std::string_view body = line.substr(2, kBodyLength);
    if (!std::ranges::all_of(body, isBodyCharacter))
        return std::nullopt;
    Request request;
    request.version = line[1];
    std::ranges::transform(body, std::back_inserter(request.body), [](char c) {
        return char(std::toupper(static_cast<unsigned char>(c)));
    });
    // Without its blank the parameter is missing, which lookup() answers as out of parameter.
    const std::string_view rest = line.substr(2 + kBodyLength);
    if (rest.starts_with(' '))
        request.parameter = rest.substr(1);
    return request;
}

bool isKnownBody(std::string_view body)
{
    return std::ranges::any_of(kRows, [&](const Row &row) { return row.body == body; });
}

std::variant<const Row *, Error> lookup(const Request &request)
{
    // Each class knows its own requests and those of the classes before it, and no others.
    const auto known = [&](const Row &row) {
        return row.body == request.body && row.since <= request.version && request.version <= '2';
    };
    if (std::ranges::none_of(kRows, known))
        return Error::Undefined;
    const std::string &parameter = request.parameter;
    if (parameter.empty() || parameter.size() > kLongestParameter ||
        !std::ranges::all_of(parameter, isPrintable))
        return Error::OutOfParameter;
    for (const Row &row : kRows) {
        if (!known(row))
            continue;
        if (row.parameter == parameter)
            return &row;
        // Any input this projector does not have is out of parameter, as is rubbish; a function
        // that it lacks is answered as such whatever the parameter.
        if ((row.ask == Ask::SelectInput && inputOfCode(parameter)) ||
            (row.ask == Ask::InputName && inputOfNameQuery(parameter)) || row.ask == Ask::Lacking)
            return &row;
    }
    return Error::OutOfParameter;
}

std::optional<Input> inputOfNameQuery(std::string_view parameter)
{
    return parameter.starts_with('?') ? inputOfCode(parameter.substr(1)) : std::nullopt;
}

std::string answer(const Request &request, std::string_view value)
{
    std::string text = "%";
    text += request.version;
    text += request.body;
    text += '=';
    text += value;
    text += kTerminator;
    return text;
}

std::string_view errorText(Error error)
{
    switch (error) {
    case Error::Undefined:
        return "ERR1";
    case Error::OutOfParameter:
        return "ERR2";
    case Error::UnavailableTime:
        return "ERR3";
    case Error::ProjectorFailure:
        break;
    }
    return "ERR4";
}

std::string greeting(std::string_view random)
{
    return random.empty() ? std::string("PJLINK 0\r") : "PJLINK 1 " + std::string(random) + '\r';
}

std::optional<char> powerDigit(PowerState state)
{
    switch (state) {
    case PowerState::Standby:
        return '0';
    case PowerState::On:
        return '1';
    case PowerState::Cooling:
        return '2';
    case PowerState::Warming:
        return '3';
    case PowerState::PowerAbnormal:
    case PowerState::TemperatureAbnormal:
        break;
    }
    return std::nullopt;
}

std::string errorStatus(PowerState state)
{
    std::string digits = "000000";
    if (state == PowerState::TemperatureAbnormal)
        digits[2] = '2';
    else if (state == PowerState::PowerAbnormal)
        digits[5] = '2';
    return digits;
}

std::string inputCode(Input input)
{
    const auto it = std::ranges::find(kInputCodes, input, &InputCode::input);
    return std::string(it->code);
}

std::optional<Input> inputOfCode(std::string_view code)
{
    const auto it = std::ranges::find(kInputCodes, code, &InputCode::code);
    return it == std::end(kInputCodes) ? std::nullopt : std::optional(it->input);
}

std::string inputList()
{
    std::string list;
    for (const InputCode &input : kInputCodes)
        list.append(list.empty() ? "" : " ").append(input.code);
    return list;
}

std::string mutes(bool video, bool audio)
{
    if (video && audio)
        return "31";
    if (video)
        return "11";
    if (audio)
        return "21";
    return "30";
}

std::string lamp(int hours, bool lit)
{
    return std::to_string(hours) + (lit ? " 1" : " 0");
}

std::optional<std::string> queryAnswer(Ask ask, const Reading &reading,
                                       std::optional<PowerState> power)
{
    const auto *state = std::get_if<PowerState>(&reading);
    const auto *input = std::get_if<Input>(&reading);
    const auto *lampTime = std::get_if<LampTime>(&reading);
    switch (ask) {
    case Ask::Power:
        if (const auto digit = state ? powerDigit(*state) : std::nullopt)
            return std::string(1, *digit);
        break;
    case Ask::Errors:
        if (state)
            return errorStatus(*state);
        break;
    case Ask::Input:
        if (input)
            return inputCode(*input);
        break;
    case Ask::Lamp:
        if (lampTime && lampTime->hours)
            return lamp(*lampTime->hours, power == PowerState::On || power == PowerState::Warming);
        break;
    default:
        break;
    }
    return std::nullopt;
}

bool isAnswerText(std::string_view text, std::size_t longest)
{
    return text.size() <= longest && std::ranges::all_of(text, isPrintable);
}

} // namespace qv7::pjlink
