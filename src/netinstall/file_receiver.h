// The client's end of the file transfers of one conversation: it waits for
// each file header, delivers the content block by block, acknowledges
// every block as soon as it has accepted it and acknowledges again a
// repeat whose acknowledgement was lost.
#pragma once

#include <cstdint>

#include "netinstall/file_header.h"
#include "netinstall/link_state.h"
#include "netinstall/net_endpoint.h"

// The receiving state, one per conversation.
struct FileReceiver {
    char name[FILE_NAME_SIZE] = {};         // from the last file header
    int size = 0;                           // from the last file header
    int block_length = 0;                   // payload bytes of the current block
    int received = 0;                       // bytes of the current file delivered
    int block_position = 0;                 // bytes of the current block delivered
    int kept_length = 0;                    // an accepted message kept in datagram; 0: none
    uint8_t datagram[RECEIVE_BUFFER_SIZE];  // the last datagram; also acks
    NetEndpoint* endpoint = nullptr;        // the server's endpoint
    LinkState* link = nullptr;              // the client's side of the conversation
};

void init_file_receiver(FileReceiver& receiver, NetEndpoint& endpoint, LinkState& link);

// Waits (1 s at a time, 30 s in all) for the next message with content,
// which must be a file header; reads name and size and acknowledges it.
// A message kept by keep_message is taken first, as if it had just come.
bool receive_file_header(FileReceiver& receiver);

// Keeps a message with content that the link has already accepted (the
// first file header, when it answers the start): the next
// receive_file_header takes it instead of waiting. False when it does not
// fit the receiver's buffer.
bool keep_message(FileReceiver& receiver, const uint8_t* datagram, int length);

// Delivers up to wanted bytes of the current file into buffer, waiting
// (1 s at a time, 30 s per block) for blocks as needed: wanted bytes, fewer
// for the last piece, 0 once the file is complete, -1 when no block came
// or another message came instead. A bare acknowledgement that comes late
// or twice (the network doubles and reorders) is not another message: it
// is passed over.
int receive_file_data(FileReceiver& receiver, uint8_t* buffer, int wanted);

// Sends a bare acknowledgement of the link's recv_seq from the receiver's
// buffer.
void acknowledge(FileReceiver& receiver);
