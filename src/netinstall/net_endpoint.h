// One UDP endpoint per network interface: tied to its device, it sends
// limited broadcasts to the installation port and receives on that port,
// with no IP configuration at all. Peers are told apart by the MAC
// addresses in the protocol header, never by IP addresses.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "netinstall/mac_address.h"

// The UDP port both roles bind, send to, and accept datagrams from.
constexpr uint16_t INSTALL_PORT = 5000;

// Every receive asks for at most this many bytes.
constexpr int RECEIVE_BUFFER_SIZE = 4096;

// The kernel's limit for interface names, terminator included.
constexpr int INTERFACE_NAME_SIZE = 16;

// Copies an interface name into a buffer of INTERFACE_NAME_SIZE bytes:
// at most 15 characters, always terminated.
void copy_interface_name(char* to, const char* from);

// wait_datagram_or_key's result when a key is waiting on standard input.
constexpr int KEY_WAITING = -2;

// One usable interface: its hardware address and its socket.
struct NetEndpoint {
    uint8_t mac[MAC_LENGTH] = {};  // wire order, as sent and printed
    int socket_fd = -1;            // 0 or less: no socket
    // When 0 or more, datagrams are received from this descriptor instead
    // of socket_fd, without a sender address: the inbox (a datagram socket
    // pair) into which a demultiplexer that reads socket_fd puts what one
    // peer sends, so that several conversations share one interface.
    // Sends always go out through socket_fd.
    int inbox_fd = -1;
    sockaddr_in destination = {};  // every send: 255.255.255.255, INSTALL_PORT
    sockaddr_in source = {};       // the sender of the last datagram received
};

// Opens the socket into socket_fd, ties it to the device, brings the
// device up (promiscuous), gives it the address 0.0.0.0 when it has none,
// binds port and sets the destination. On failure the socket stays in
// socket_fd for the caller to close.
bool open_endpoint(NetEndpoint& endpoint, const char* interface_name, uint16_t port);

// Asks the kernel to drop, before they reach the socket, the datagrams
// addressed to another machine (neither to this endpoint's MAC nor to
// nobody): on a segment where a server installs many routers at once, a
// router would otherwise wake for every block of every other router. The
// header rules drop those anyway; false when the kernel refuses (nothing
// changes then).
bool keep_own_datagrams(NetEndpoint& endpoint);

// Closes the socket if there is one. The interface stays configured.
void close_endpoint(NetEndpoint& endpoint);

// One sendto of length bytes to the destination; the call's result.
int send_datagram(NetEndpoint& endpoint, const uint8_t* bytes, int length);

// One receive of at most RECEIVE_BUFFER_SIZE bytes into buffer; the sender
// goes into source. -1 when the call fails, the sender's port is not
// INSTALL_PORT or the datagram is longer than the buffer (that datagram is
// consumed).
int receive_datagram(NetEndpoint& endpoint, uint8_t* buffer);

// poll_datagram's result when nothing is queued.
constexpr int NOTHING_QUEUED = -3;

// Takes a datagram that is already queued, without waiting: its length; -1
// as receive_datagram (the datagram is consumed), NOTHING_QUEUED when the
// queue is empty. A drain of the queue goes on until NOTHING_QUEUED: a
// datagram from another port is not the end of it.
int poll_datagram(NetEndpoint& endpoint, uint8_t* buffer);

// Waits at most timeout_us (0 polls) for a datagram and receives it; -1 on
// a timeout, an interrupting signal or an error.
int wait_datagram(NetEndpoint& endpoint, uint8_t* buffer, int64_t timeout_us);

// Waits without a time limit for a datagram or a key on standard input
// (or already in its buffer). KEY_WAITING when a key is there (it is left unread, and wins over a
// datagram, which stays queued); -1 when a signal interrupted the wait or
// the receive reported -1; 0 when the wait failed otherwise; else the
// datagram's length.
int wait_datagram_or_key(NetEndpoint& endpoint, uint8_t* buffer);

// Microseconds of a clock that never steps; 0 when it cannot be read.
int64_t now_us();

// Sleeps for duration microseconds; a signal does not cut the pause short.
void pause_us(int64_t duration);
