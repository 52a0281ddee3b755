// LAN settings: the board's IPv4 address, net mask, gateway and name server.
// They are read at start from "/etc/network/interfaces" into the texts and
// byte vectors below (the information screen shows the texts, the settings
// menu edits the vectors) and written back into that file on request, after
// which the network interfaces are restarted. The file reaches the disk
// through the path root and the restart through the command runner.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Dotted texts as read from the file (MAC is cleared, not read here).
extern char IP[32];
extern char NetMask[32];
extern char Gateway[32];
extern char DNS[32];
extern char MAC[32];
// The four numbers of each dotted text.
extern uint8_t IP_v[4];
extern uint8_t NetMask_v[4];
extern uint8_t Gateway_v[4];
extern uint8_t DNS_v[4];
// 1 when the file gives no gateway / no name server value.
extern uint8_t Gateway_none;
extern uint8_t DNS_none;
// Edit cursors of the settings menu (set to 3 at start).
extern int CntIP;
extern int CntNetMask;
extern int CntGateway;
extern int CntDNS;

// Longest line the reader looks at; the rest of a longer line is ignored.
constexpr size_t KZ_LAN_LINE_MAX = 127;
// The rewrite refuses files longer than this (lines or bytes): such a file
// is not an interfaces file we wrote, and it is never cut to fit.
constexpr size_t KZ_LAN_MAX_LINES = 1024;
constexpr size_t KZ_LAN_MAX_BYTES = 256 * 1024;

// Returns 0, or -1 when the file cannot be opened (globals unchanged).
int ReadLanParam();
// Returns the exit status of the interface restart, or -1 on failure
// (remount refused, file unreadable, too long or not written).
int SaveLanParam();
// Splits a dotted text at '.' and stores the decimal value of each part
// (saturated at 255) into successive bytes; never more than four bytes
// are written, and bytes without a part are set to 0. Returns the number
// of parts in the text.
int SplitAddr(const char *text, uint8_t *bytes);
// Writes the four bytes as "%i.%i.%i.%i" into text (at least 16 chars).
void SplitAddrInv(char *text, const uint8_t *bytes);

// Body of ReadLanParam over the file's text in memory (also the fuzz target).
void parseLanText(const char *text, size_t len);
// The rewritten file for the current vectors: every line kept in order,
// the lines that begin with a keyword replaced. Returns 0, or -1 (out
// untouched) when the file is over the limits above.
int lanRewriteText(std::string_view in, std::string &out);
