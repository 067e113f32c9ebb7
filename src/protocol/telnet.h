#pragma once

#include "linesettings.h"

#include <array>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Telnet as a network port speaks it: the stream parser, option negotiation, and the
// COM-PORT-OPTION of RFC 2217, through which a client sets the far line's speed and framing.
// Plain code, shared by the network transport and the simulated projector's server.
namespace qv7::telnet {

inline constexpr unsigned char kIac = 255;
inline constexpr unsigned char kDont = 254;
inline constexpr unsigned char kDo = 253;
inline constexpr unsigned char kWont = 252;
inline constexpr unsigned char kWill = 251;
inline constexpr unsigned char kSb = 250;
inline constexpr unsigned char kSe = 240;

inline constexpr unsigned char kBinary = 0;
inline constexpr unsigned char kEcho = 1;
inline constexpr unsigned char kSuppressGoAhead = 3;
inline constexpr unsigned char kComPort = 44;

// One thing the far end sent, in the order of the stream.
struct Piece {
    enum class Kind { Data, Will, Wont, Do, Dont, Subnegotiation };
    Kind kind = Kind::Data;
    unsigned char option = 0; // of a negotiation or subnegotiation
    std::string bytes;        // the data, or the subnegotiation's payload after its option

    friend bool operator==(const Piece &, const Piece &) = default;
};

// Splits a telnet stream into data, negotiations and subnegotiations, whatever the size of
// the reads: "IAC IAC" is the data byte 255, other commands (NOP, GA, ...) carry nothing and
// are dropped, and a subnegotiation keeps no more than its first kMaxSubnegotiation bytes.
// An IAC inside a subnegotiation that is neither IAC nor SE ends it unfinished, so that a
// missing SE cannot swallow the data after it for good.
class Parser {
public:
    static constexpr std::size_t kMaxSubnegotiation = 64;

    // Appends what these bytes complete; data next to data joins one piece.
    void feed(std::string_view bytes, std::vector<Piece> &pieces);

private:
    enum class State { Data, Iac, Verb, SbOption, Sb, SbIac };
    void take(unsigned char byte, std::vector<Piece> &pieces);

    State state_ = State::Data;
    Piece::Kind verb_ = Piece::Kind::Will;
    Piece subnegotiation_{Piece::Kind::Subnegotiation, 0, {}};
};

// Data as it goes into a telnet stream: 255 doubled.
std::string escape(std::string_view data);

// Option negotiation after RFC 1143 for a side that never turns an option off: each option
// is off, on, or asked for; only a change of state is answered, so two ends never loop.
class Options {
public:
    enum class State : unsigned char { Off, On, Asked };

    // The options this end enables on its side when asked, and those it lets the far end
    // enable.
    Options(std::initializer_list<unsigned char> ours, std::initializer_list<unsigned char> theirs);

    // WILL for an option of ours, DO for one of theirs; empty when it is on or asked already.
    std::string offer(unsigned char option);
    std::string ask(unsigned char option);
    // The answer to the far end's WILL, WONT, DO or DONT; empty when none is due.
    std::string answer(Piece::Kind verb, unsigned char option);

    State ours(unsigned char option) const { return ours_[option]; }
    State theirs(unsigned char option) const { return theirs_[option]; }

private:
    std::array<State, 256> ours_{};
    std::array<State, 256> theirs_{};
    std::array<bool, 256> weWill_{};
    std::array<bool, 256> theyMay_{};
};

// The COM-PORT-OPTION's commands, as a client sends them; a server answers with the same
// code plus kServerOffset.
namespace comport {

enum Command : unsigned char {
    SetBaudRate = 1,
    SetDataSize = 2,
    SetParity = 3,
    SetStopSize = 4,
    SetControl = 5,
    NotifyLineState = 6,
    NotifyModemState = 7,
    FlowControlSuspend = 8,
    FlowControlResume = 9,
    SetLineStateMask = 10,
    SetModemStateMask = 11,
    PurgeData = 12,
};
inline constexpr unsigned char kServerOffset = 100;

// The four subnegotiations that give the far line these settings: SET-BAUDRATE, SET-DATASIZE,
// SET-PARITY, SET-STOPSIZE. No SET-CONTROL: the system leaves the modem lines alone.
std::string requestLineSettings(const LineSettings &settings);

// The setting a server's answer acknowledges (a client's SET command); nothing for anything
// else, such as a notification.
std::optional<Command> acknowledged(std::string_view payload);

// SET-CONTROL's state of a served line, by its answer codes: flow control none (1), break off
// (6), DTR on (8), RTS on (11), no inbound flow control (14).
struct Control {
    unsigned char flow = 1;
    unsigned char breakState = 6;
    unsigned char dtr = 8;
    unsigned char rts = 11;
    unsigned char inbound = 14;
};

// A server serving a client's COM-PORT-OPTION subnegotiation: a SET of the speed, data size,
// parity, stop size or a control changes line or control (a value of 0, or a control's request
// code, only asks) and is answered with what the line now has; flow control stays off, since
// the line has none. The state masks and PURGE-DATA are acknowledged as asked. Empty for a
// command this server does not serve.
std::string serve(std::string_view payload, LineSettings &line, Control &control);

} // namespace comport

} // namespace qv7::telnet
