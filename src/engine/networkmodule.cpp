#include "networkmodule.h"

#include "networktransport.h"

qv7::Transport *qv7MakeNetworkTransport(const qv7::NetworkPort &port, int connectTimeoutMs)
{
    if (port.protocol == qv7::NetworkProtocol::Rfc2217)
        return new qv7::Rfc2217Transport(port, connectTimeoutMs);
    return new qv7::NetworkTransport(port, connectTimeoutMs);
}
