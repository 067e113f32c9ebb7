// The telnet layer of RFC 2217 ports over any bytes a network can bring. Input: a byte that
// sets the size of the reads (1 to 16), so that every command is cut everywhere; the stream.

#include "protocol/networkport.h"
#include "protocol/telnet.h"
#include "require.h"

#include <cstdint>

using namespace qv7;
using namespace qv7::telnet;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t readSize = 1 + data[0] % 16;
    const std::string_view stream(reinterpret_cast<const char *>(data) + 1, size - 1);

    // As the transport takes it: pieces, answers to negotiations, acknowledgements; and as
    // the simulator serves it: settings that stay settings a line can have.
    Parser parser;
    std::vector<Piece> pieces;
    for (std::size_t at = 0; at < stream.size(); at += readSize)
        parser.feed(stream.substr(at, readSize), pieces);
    Options client({kComPort, kBinary, kSuppressGoAhead}, {kBinary, kSuppressGoAhead});
    LineSettings line;
    comport::Control control;
    std::size_t dataBytes = 0;
    for (const Piece &piece : pieces) {
        if (piece.kind == Piece::Kind::Data) {
            dataBytes += piece.bytes.size();
        } else if (piece.kind == Piece::Kind::Subnegotiation) {
            require(piece.bytes.size() <= Parser::kMaxSubnegotiation);
            comport::acknowledged(piece.bytes);
            comport::serve(piece.bytes, line, control);
            require(control.flow == 1 && control.inbound == 14);
            require(line.baudRate > 0 && line.dataBits >= 5 && line.dataBits <= 8);
        } else {
            require(client.answer(piece.kind, piece.option).size() <= 3);
        }
    }
    require(dataBytes <= stream.size());

    // Any bytes, escaped as data, come back whole and as data alone.
    Parser again;
    std::vector<Piece> back;
    again.feed(escape(stream), back);
    std::string joined;
    for (const Piece &piece : back) {
        require(piece.kind == Piece::Kind::Data);
        joined += piece.bytes;
    }
    require(joined == stream);

    // The same bytes as a port name: a port or a reason, never both.
    const NetworkPortName name = parseNetworkPort(stream);
    require(name.port.has_value() != !name.error.empty());
    return 0;
}
