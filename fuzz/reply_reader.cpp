// store_read_reply fed arbitrary bytes over a real socket pair, sent in pieces
// by a second thread: every result and every byte of the caller's buffer must
// be what the framing rules say, and nothing may be read or written outside
// the buffers.
//
// Input: one byte choosing whether and how the bytes come in pieces, then the bytes the "daemon" sends
// before it closes the connection.
#include "store.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

namespace {

struct Expected {
    int result;
    bool copies;
    std::string value;
};

bool is_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// The framing rules, read literally.
Expected reference_reply(const std::string &sent)
{
    if (sent.size() < 16)
        return {STORE_CLOSED, false, ""};
    if (sent.compare(0, 8, "magicv1 ") != 0)
        return {STORE_TIMEOUT, false, ""};
    std::string field = sent.substr(8, 7);
    field = field.substr(0, field.find('\0'));
    size_t i = 0;
    while (i < field.size() && is_space(field[i]))
        i++;
    bool negative = false;
    if (i < field.size() && (field[i] == '+' || field[i] == '-'))
        negative = field[i++] == '-';
    size_t digits = i;
    long length = 0;
    while (i < field.size() && field[i] >= '0' && field[i] <= '9')
        length = length * 10 + (field[i++] - '0');
    if (field.empty() || i == digits || i != field.size())
        return {STORE_BAD_LENGTH, false, ""};
    if (negative && length != 0)
        return {STORE_BAD_LENGTH, false, ""};
    // Nothing more arrives once the sender has closed: a body of 0 bytes, or
    // one longer than what was sent, ends by end of stream.
    if (length == 0 || sent.size() - 16 < (size_t)length)
        return {STORE_CLOSED, false, ""};
    std::string body = sent.substr(16, (size_t)length);
    body = body.substr(0, body.find('\0'));
    size_t first = body.find(' ');
    if (first == std::string::npos)
        return {STORE_OK, false, ""};
    size_t second = body.find(' ', first + 1);
    if (second == std::string::npos)
        return {STORE_OK, false, ""};
    std::string value = body.substr(second + 1);
    if (value == "none\n")
        return {STORE_OK, false, ""};
    return {STORE_OK, true, value.substr(0, VALUE_BUFFER_SIZE - 1)};
}

void send_in_pieces(int fd, const std::string &bytes, unsigned choice)
{
    // At most eight pieces: enough to split a header or a body anywhere,
    // without a poll-and-sleep round for every byte of a long input.
    size_t count = choice % 8 + 1;
    size_t piece = choice == 0 || bytes.empty() ? bytes.size() + 1 : (bytes.size() + count - 1) / count;
    for (size_t done = 0; done < bytes.size();) {
        size_t count = bytes.size() - done < piece ? bytes.size() - done : piece;
        ssize_t put = send(fd, bytes.data() + done, count, MSG_NOSIGNAL);
        if (put <= 0)
            break; // the reader gave up and closed its end
        done += (size_t)put;
        if (choice & 0x80)
            std::this_thread::yield();
    }
    shutdown(fd, SHUT_WR);
}

const char FILL = '\x5a';

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    unsigned choice = data[0];
    std::string sent((const char *)data + 1, size - 1);

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
        abort();
    int flags = fcntl(pair[0], F_GETFL);
    fcntl(pair[0], F_SETFL, flags | O_NONBLOCK);
    // Half the inputs arrive whole before the read starts (the common case,
    // and fast to fuzz); the other half trickle in from a second thread.
    std::thread daemon;
    if (choice & 0x40)
        daemon = std::thread(send_in_pieces, pair[1], std::cref(sent), choice);
    else
        send_in_pieces(pair[1], sent, 0);

    StoreClient client;
    memset(&client, 0, sizeof client);
    client.socket = pair[0];
    static ValueBuffer value;
    memset(value.text, FILL, sizeof value.text);
    int result = store_read_reply(&client, &value);

    close(pair[0]); // lets a sender still writing see the reader has gone
    if (daemon.joinable())
        daemon.join();
    close(pair[1]);
    free(client.buffer);

    Expected expected = reference_reply(sent);
    if (result != expected.result) {
        fprintf(stderr, "store_read_reply gave %d, the rules give %d\n", result, expected.result);
        abort();
    }
    size_t copied = expected.copies ? expected.value.size() + 1 : 0;
    if (expected.copies && memcmp(value.text, expected.value.c_str(), copied) != 0) {
        fprintf(stderr, "store_read_reply copied another value than the reply carries\n");
        abort();
    }
    for (size_t i = copied; i < sizeof value.text; i++)
        if (value.text[i] != FILL) {
            fprintf(stderr, "store_read_reply wrote byte %zu of the value buffer beyond the value\n", i);
            abort();
        }
    return 0;
}
