// TCP_NODELAY on the milter socket, so that the changes and the reply the
// milter library writes at end of message leave at once instead of waiting
// for the MTA to acknowledge the packet before each of them.
#pragma once

#include <string>

// What batv_set_nodelay found and did.
struct nodelay_result {
    int listening = 0;  // listening TCP sockets (IPv4 and IPv6) of the process
    int failed = 0;     // of those, the ones the option could not be set on
    int error = 0;      // the error number of the first failure, or 0
    int queued = 0;     // connections waiting in their accept queues when the option was set
};

// Sets TCP_NODELAY on every listening TCP socket of the process, which
// right after smfi_opensocket is the one the milter library listens on;
// the sockets it accepts inherit the option. UNIX-domain and other sockets
// are left alone. Nothing here ends start-up: a failure, or a TCP
// socket address (inet:, inet6:) for which no listening socket turns up, is
// reported on standard error and, with Syslog, in the system log at
// LOG_WARNING, and the filter serves all the same.
nodelay_result batv_set_nodelay(const std::string& spec);

// For the first callback of each session: while connections that were
// queued before the listening sockets had the option may still be served
// without it, sets it on every accepted TCP socket of those listeners' ports
// that lacks it, and returns how many it set. Once as many sessions as were
// queued have called it, it does nothing.
int batv_nodelay_catch_up() noexcept;
