// A milter that does nothing, as the yardstick for the daemon's throughput:
// it registers the same actions and callbacks as vellicor, negotiates the
// same protocol steps, and answers every callback with SMFIS_CONTINUE.
// Whatever the benchmark measures for it is the cost of libmilter, the
// socket and the load client; the daemon's figures above that are its own.
//
// With -c it also asks for as many changes at end of message as the daemon
// makes on the benchmark's two paths, with fixed texts and no work to find
// them: a sender change for a client named "localhost", a recipient
// deleted and one added for any other. That separates what the changes
// cost in the protocol from what the daemon spends deciding on them.
//
//   noop_milter -p unix:/path/to/socket [-c]
#include <libmilter/mfapi.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

bool make_changes = false;

// The private data that marks a connection from "localhost": only its
// address is used, nothing is allocated.
char internal_marker;

sfsistat noop_negotiate(SMFICTX*, unsigned long, unsigned long f1, unsigned long, unsigned long,
                        unsigned long* pf0, unsigned long* pf1, unsigned long* pf2,
                        unsigned long* pf3) {
    *pf0 = SMFIF_ADDHDRS | SMFIF_ADDRCPT | SMFIF_DELRCPT | SMFIF_CHGFROM;
    *pf1 = (f1 & (SMFIP_NOHELO | SMFIP_NOBODY | SMFIP_NOHDRS | SMFIP_NOEOH | SMFIP_NOUNKNOWN |
                  SMFIP_NODATA)) |
           (f1 & SMFIP_HDR_LEADSPC);
    *pf2 = 0;
    *pf3 = 0;
    return SMFIS_CONTINUE;
}

sfsistat noop_connect(SMFICTX* ctx, char* host, _SOCK_ADDR*) {
    if (make_changes && host != nullptr && std::strcmp(host, "localhost") == 0) {
        smfi_setpriv(ctx, &internal_marker);
    }
    return SMFIS_CONTINUE;
}
sfsistat noop_envfrom(SMFICTX*, char**) {
    return SMFIS_CONTINUE;
}
sfsistat noop_envrcpt(SMFICTX*, char**) {
    return SMFIS_CONTINUE;
}
sfsistat noop_eom(SMFICTX* ctx) {
    if (!make_changes) {
        return SMFIS_CONTINUE;
    }
    if (smfi_getpriv(ctx) == &internal_marker) {
        smfi_chgfrom(ctx, const_cast<char*>("prvs=0000000000=user@example.com"),
                     const_cast<char*>("SIZE=4096 BODY=8BITMIME"));
    } else {
        smfi_delrcpt(ctx, const_cast<char*>("prvs=0000000000=user@example.com"));
        smfi_addrcpt(ctx, const_cast<char*>("user@example.com"));
    }
    return SMFIS_CONTINUE;
}
sfsistat noop_close(SMFICTX* ctx) {
    smfi_setpriv(ctx, nullptr);
    return SMFIS_CONTINUE;
}

struct smfiDesc noop_desc = {
    const_cast<char*>("noop"),
    SMFI_VERSION,
    SMFIF_ADDHDRS | SMFIF_ADDRCPT | SMFIF_DELRCPT | SMFIF_CHGFROM,
    noop_connect,
    nullptr,  // helo
    noop_envfrom,
    noop_envrcpt,
    nullptr,  // header
    nullptr,  // eoh
    nullptr,  // body
    noop_eom,
    nullptr,  // abort
    noop_close,
    nullptr,  // unknown
    nullptr,  // data
    noop_negotiate,
};

}  // namespace

int main(int argc, char** argv) {
    std::string socket;
    int c;
    while ((c = getopt(argc, argv, "cp:")) != -1) {
        if (c == 'c') {
            make_changes = true;
        } else if (c == 'p') {
            socket = optarg;
        } else {
            std::fprintf(stderr, "usage: %s -p socket [-c]\n", argv[0]);
            return 64;
        }
    }
    if (socket.empty()) {
        std::fprintf(stderr, "usage: %s -p socket [-c]\n", argv[0]);
        return 64;
    }
    if (smfi_register(noop_desc) != MI_SUCCESS) {
        std::fprintf(stderr, "%s: smfi_register() failed\n", argv[0]);
        return 69;
    }
    smfi_setconn(socket.data());
    if (smfi_opensocket(true) != MI_SUCCESS) {
        std::fprintf(stderr, "%s: smfi_opensocket() failed\n", argv[0]);
        return 69;
    }
    // The daemon starts a session of its own before it serves, and so does
    // this filter: with the kernel's autogroup scheduling a session is a
    // scheduling group of its own, and a filter left in the load client's
    // group shares the CPUs with it differently (on two cores that alone
    // moved the throughput by a third).
    setsid();
    return smfi_main() == MI_SUCCESS ? 0 : 255;
}
