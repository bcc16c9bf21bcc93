// Closing a connection after its reply without a reset that could destroy the reply.
#pragma once

#include <winsock2.h>

#include <chrono>

namespace orvanta {

// Closing a socket while bytes the client sent are still unread resets the connection, and a reset
// can destroy the reply before the client has read it: a client still sending an over-long line
// would never learn why it was cut off. So when bytes are still waiting, our side is ended first and
// what the client still sends is read and dropped, for at most `patience` and 64 MiB. Works in
// blocking and non-blocking mode alike. A connection with nothing left unread (every ordinary
// request) is left as it is. The caller closes the socket afterwards.
void drain_before_close(SOCKET connection, std::chrono::milliseconds patience);

}  // namespace orvanta
