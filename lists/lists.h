// The lists the filter consults while it handles mail: allowed addresses,
// internal hosts, domains to verify, MTA names, macro tests and peers. Each is
// built once at start-up and only read afterwards, by many threads at once.
#pragma once

#include <netinet/in.h>
#include <regex.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lists/allow_index.h"
#include "lists/host_index.h"
#include "lists/indexed_list.h"
#include "lists/records.h"

// Each list holds its records in the order the filter walks them (allow
// list, internal hosts and domains in reverse source order; the others in
// source order). The lists a connection or an address is matched against
// carry an index beside their records, so that a lookup costs the same for
// ten entries as for a million.
using allow_list_t = indexed_list<allow_entry, allow_index>;
using internal_hosts_t = indexed_list<internal_host, internal_index>;
using domain_list_t = std::vector<domain_entry>;
using mta_list_t = std::vector<std::string>;
using peer_list_t = indexed_list<peer_entry, peer_index>;

// Why building a list failed: the message that follows "progname: " on
// standard error (newline included) and the exit status start-up ends with.
struct list_failure {
    std::string message;
    int status;
};

// Loaders. path or value is the text the option or configuration key gave.
// List files must be regular files; their lines end in LF or CRLF and hold
// at most 511 characters before a comment.
std::optional<list_failure> load_allow_list(const std::string& path, allow_list_t& out);
// The record of one allow-list line: its translation by batv_mkregexp as a
// glob when that is plain wildcards and literals, else compiled with
// regcomp(REG_ICASE). Fails as start-up does when the pattern does not
// compile.
std::optional<list_failure> vlcf_allow_entry(std::string_view line, allow_entry& out);
// Without a path the list holds the built-in record: the name localhost and
// the addresses 127.0.0.1 and ::1.
std::optional<list_failure> load_internal_hosts(const std::optional<std::string>& path,
                                                internal_hosts_t& out);
std::optional<list_failure> load_domain_list(const std::string& value, domain_list_t& out);
std::optional<list_failure> load_mta_list(const std::string& value, mta_list_t& out);
std::optional<list_failure> load_macro_list(const std::string& value, macro_list_t& out);

// Reads an open PeerList file; false (and out untouched) when memory ran
// out, a line is longer than 511 characters or reading failed. A null stream
// gives an empty list.
bool vlcf_load_list(std::FILE* stream, peer_list_t& out);
// Opens the PeerList file at path, which must be a regular file, and reads
// it as vlcf_load_list does, saying why when it cannot.
std::optional<list_failure> load_peer_list(const std::string& path, peer_list_t& out);

// What the allow list says of an address: the first entry in list order
// that matches decides, unless an entry before it made regexec fail.
enum class allow_result { no_match, match, error };
struct allow_match {
    allow_result result = allow_result::no_match;
    std::size_t position = 0;        // the deciding entry, for a match or an error
    int regexec_status = 0;          // for an error: what regexec returned
    const regex_t* regex = nullptr;  // for an error: the pattern, for regerror
};
// Matches the whole address, a C string, as regexec would match each entry
// in turn. Allocates nothing and only reads the list.
allow_match vlcf_allow_match(const allow_list_t& list, const char* address);

// Text helpers; white space and case are those of the POSIX locale, and bytes
// of 0x80 and above are neither blank nor lettered.
bool batv_isblank(std::string_view str);
// Translates a wildcard pattern into an anchored basic regular expression of
// at most 512 characters.
std::string batv_mkregexp(std::string_view str);
void vlcf_trimspaces(std::string& str);
void vlcf_lowercase(char* str);

// True when entry equals name ignoring case, or equals a tail of name that
// begins at one of its '.' characters. Serves internal-host names, domain
// entries and PeerList names alike.
bool vlcf_name_matches(std::string_view entry, std::string_view name);

// PeerList matching: 1 when the last matching entry admits the client.
// vlcf_checkip reads an AF_INET or AF_INET6 address, a whole sockaddr_in or
// sockaddr_in6 (a client at an IPv4-mapped IPv6 address counts as the IPv4
// client it stands for); any other family matches nothing.
int vlcf_checkhost(const peer_list_t& list, const char* host);
int vlcf_checkip(const peer_list_t& list, const struct sockaddr* ip);

// Whether a client is internal: some record of the list matches its host
// name or its address. address may be null or of any family; only AF_INET
// and AF_INET6 addresses (read as vlcf_checkip reads them) are matched, a
// client at an IPv4-mapped IPv6 address as the IPv4 client it stands for.
// An IPv4 part whose address or mask is zero never matches, nor does an
// IPv6 part whose address is :: or whose prefix length is 0.
bool vlcf_internal_match(const internal_hosts_t& list, std::string_view host,
                         const struct sockaddr* address);
