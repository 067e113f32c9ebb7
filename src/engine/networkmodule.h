#pragma once

#include "transport.h"

#include "protocol/networkport.h"

#include <QtGlobal>

// The network transports' one entry point. On Linux they are a module of their own, loaded at
// the first network port, so that a program whose ports are all serial never maps the network
// library and its dependencies; on Windows they are linked in.
#ifdef QV7_NETWORK_MODULE
#define QV7_NETWORK_ENTRY Q_DECL_EXPORT
#else
#define QV7_NETWORK_ENTRY
#endif

extern "C" QV7_NETWORK_ENTRY qv7::Transport *qv7MakeNetworkTransport(const qv7::NetworkPort &port,
                                                                     int connectTimeoutMs);
