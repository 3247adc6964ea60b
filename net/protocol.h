#pragma once
// What a client experiences on one connection: reports pushed on every pass
// (Automatic Mode) or a line dialogue of "all", "get <name>", "help",
// "exit" and "quit" (Command Mode).
#include <cstdint>
#include <string>
#include <vector>
#include "network.h"
#include "report.h"

// A connection makes at most one pass per this many milliseconds, so an
// Automatic-Mode client gets at most about 30 reports a second.
constexpr int PASS_INTERVAL_MS = 33;

// An Automatic-Mode client whose earlier frame has not left yet gets no new
// one (the frame is skipped: a tracking client wants the latest, not a
// backlog), and one that takes no byte for this long is dropped.
constexpr int LAGGING_CLIENT_TIMEOUT_MS = 3000;

// Command Mode: a connection whose client sends nothing for this many
// seconds is closed, so silent sockets cannot pile up until descriptors
// run out. 0 keeps a silent client forever. Each connection reads it when
// it begins.
constexpr int COMMAND_IDLE_TIMEOUT_DEFAULT_S = 60;
constexpr int COMMAND_IDLE_TIMEOUT_MAX_S = 86400;
void setCommandIdleTimeout(int seconds);
int commandIdleTimeout();

// Command Mode: at most this many lines of a received chunk are answered in
// one pass; the rest are answered in order in the passes after, and nothing
// more is read from the client until they are. A client that waits for its
// answers never meets the limit; one that floods commands gets its answers
// at this pace, and its own sends back up, instead of the server writing
// for it as fast as it can.
constexpr int COMMAND_LINES_PER_PASS = 8;

// Since the process began, over all connections: frames skipped for clients
// that lagged, and clients dropped for taking nothing (for a status display).
uint64_t framesSkippedForSlowClients();
uint64_t slowClientsDropped();
// Command-Mode clients closed for sending nothing within the idle limit.
uint64_t idleClientsClosed();

// The ConnectionHandler of the server: mode and fields are those active
// when the connection begins, for as long as it lasts.
void serveClient(Network& connection);

// Answers one command line. 0 to go on, -1 to end the connection.
int interpretCommand(const std::string& line, ReplySink& connection, DataFormat format);

// Send the report of the latest table (all entries, or those named `name`).
// They take ResultTableLock only to build the text, never while sending, so
// a slow client holds up neither the tracking worker nor other clients.
// False when the text could not be delivered.
bool sendAllReport(ReplySink& connection, DataFormat format);
bool sendNamedReport(const std::string& name, ReplySink& connection, DataFormat format);

// The lines of one received chunk: split at "\n", which is dropped; a last
// piece without "\n" is a line too, a final "\n" adds no empty line.
std::vector<std::string> splitChunk(const std::string& text);
