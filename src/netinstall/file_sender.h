// The server's end of one file transfer: a file-header message, then the
// content in data blocks of at most MAX_BLOCK bytes, each repeated until it
// is acknowledged (1 s for the header; 20 ms for a block, doubled after
// each silence up to 1.28 s; 30 sends each).
#pragma once

#include <cstdint>

#include "netinstall/link_state.h"
#include "netinstall/net_endpoint.h"

// One file on its way: a package read from disk, or a text in memory.
struct FileSender {
    bool from_file = false;                 // the content comes from file_fd, else from text
    int file_fd = -1;                       // the open package; -1 when none
    const char* text = nullptr;             // the content when not from a file; not owned
    int size = 0;                           // bytes to send
    int taken = 0;                          // bytes read or copied so far
    NetEndpoint* endpoint = nullptr;        // the router's endpoint
    LinkState* link = nullptr;              // the server's side of the conversation
    bool peer_ended = false;                // the router's "TERM" answered a send
    uint8_t datagram[RECEIVE_BUFFER_SIZE];  // the datagram being sent
};

// What the server says when the router ended the conversation before a
// file was whole.
constexpr char STOPPED_BY_ROUTER[] = "FATAL ERROR: Installation stopped by router";

void init_file_sender(FileSender& sender, NetEndpoint& endpoint, LinkState& link);

// Opens the package at path (from_file) or takes the text, prints
// "Transfering: NAME..." or "Transfering: configuration..." and builds the
// file header (name after the path's last '/', or "autorun.scr") with the
// link's send_seq. Nothing is sent yet. Prints its "FATAL ERROR: " line and
// returns false when the package cannot be opened or its path has no '/'.
bool start_file(FileSender& sender, const char* source, bool from_file);

// With advance: the next block (send_seq + 1), 0 when everything was
// taken, -1 when the file cannot be read or ends before its size. Without:
// the datagram in the buffer again, byte for byte. Returns the bytes taken.
int send_next(FileSender& sender, bool advance);

// Sends the header and every block, each until it is acknowledged. False
// with "FATAL ERROR: Read package failed" or "FATAL ERROR: Installation
// timeout" (30 unanswered sends). A "TERM" from the router in answer to a
// send is the router's end of the conversation: it is acknowledged and
// peer_ended set; the file counts as sent when the "TERM" answered its
// last block (the router only ends after what it has taken whole), else
// the transfer fails with STOPPED_BY_ROUTER.
bool transfer_file(FileSender& sender);

// Closes the package, if one is open.
void close_file_sender(FileSender& sender);

// The sequence numbers of a conversation: 1 is the offer, the files follow
// from 2, and the termination takes the one after the last file's.
constexpr uint32_t FIRST_FILE_SEQUENCE = 2;

// Sequence numbers a file of size bytes takes: its header and its blocks.
uint64_t file_sequence_numbers(int64_t size);

// Whether files taking file_numbers sequence numbers in all, and the
// termination after them, fit into one conversation (numbers do not wrap).
bool files_fit_conversation(uint64_t file_numbers);
