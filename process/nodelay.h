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
};

// Sets TCP_NODELAY on every listening TCP socket of the process, which
// right after smfi_opensocket is the one the milter library listens on;
// the sockets it accepts inherit the option. UNIX-domain and other sockets
// are left alone. Nothing here ends start-up: a failure, or a TCP
// socket address (inet:, inet6:) for which no listening socket turns up, is
// reported on standard error and, with Syslog, in the system log at
// LOG_WARNING, and the filter serves all the same.
nodelay_result batv_set_nodelay(const std::string& spec);
