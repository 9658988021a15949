// The integer rule every numeric setting and argument goes through, and the
// lenient Base64 decoder for stored passwords.
#include "document.h"
#include "harness.h"
#include "store.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <string>

#if defined(__SANITIZE_ADDRESS__)
#define TEST_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TEST_UNDER_ASAN 1
#endif
#endif

namespace {

struct IntCase {
    const char *text;
    int expected;
};

const IntCase INT_CASES[] = {
    {"", 0},
    {"0", 0},
    {"42", 42},
    {"007", 7},
    {"-0", 0},
    // Leading white space of every kind is skipped, and only leading.
    {"   42", 42},
    {"\t\n\v\f\r 7", 7},
    {" ", 0},
    {"4 2", 4},
    {"\xa0" "5", 0},
    // One optional sign, directly before the digits.
    {"+5", 5},
    {"-5", -5},
    {"  -17", -17},
    {"+", 0},
    {"-", 0},
    {"--5", 0},
    {"+-5", 0},
    {"-+5", 0},
    {"- 5", 0},
    // Digits stop at the first other character.
    {"443x", 443},
    {"x443", 0},
    {"3\n", 3},
    {"1.9", 1},
    {"1e3", 1},
    {"0x1F", 0},
    {"12,34", 12},
    {"true", 0},
    // Out of range saturates instead of wrapping.
    {"2147483647", INT_MAX},
    {"2147483648", INT_MAX},
    {"4294967297", INT_MAX},
    {"99999999999999999999999999", INT_MAX},
    {"+2147483648", INT_MAX},
    {"-2147483647", -2147483647},
    {"-2147483648", INT_MIN},
    {"-2147483649", INT_MIN},
    {"-99999999999999999999999999", INT_MIN},
    {"000000000000000000000000000012", 12},
    {"2147483648x", INT_MAX},
};

TEST(TextToInt, DecimalPrefixRule)
{
    for (const IntCase &c : INT_CASES) {
        SCOPED_TRACE(testing::Message() << "text \"" << c.text << "\"");
        EXPECT_EQ(text_to_int(c.text), c.expected);
    }
}

// The decoder's result as raw bytes: `length` bytes followed by the NUL it
// must always place at the end.
std::string decoded_bytes(const char *text, size_t length)
{
    char *out = decode_base64(text);
    if (!out) {
        ADD_FAILURE() << "decode_base64 returned NULL";
        return std::string();
    }
    std::string bytes(out, length + 1);
    free(out);
    return bytes;
}

struct DecodeCase {
    const char *text;
    std::string expected; // the decoded bytes, zero bytes included
};

const DecodeCase DECODE_CASES[] = {
    {"", ""},
    // Complete groups: no padding three bytes, "=" two, "==" one.
    {"QUJD", "ABC"},
    {"QUI=", "AB"},
    {"QQ==", "A"},
    {"cGFzc3dvcmQ=", "password"},
    {"////", "\xff\xff\xff"},
    {"+/+/", "\xfb\xff\xbf"},
    // Leftover characters after the last group have no effect.
    {"QUJDRA", "ABC"},
    {"QUJD\n", "ABC"},
    {"cGFzcw==\n", "pass"},
    {"QUJDRA==\r\n", "ABCD"},
    // Too short for one group: nothing, padding or not.
    {"Q", ""},
    {"QQ", ""},
    {"QQ=", ""},
    {"=", ""},
    {"==", ""},
    {"===", ""},
    // Padding anywhere shortens the result; otherwise it counts as 0 bits.
    {"QUJD=UJD", std::string("ABC\x01" "B", 5)},
    {"QQ==QUJD", std::string("A\0\0A", 4)},
    {"QQ=A", std::string("A\0", 2)},
    {"Q=Q=", "@\x04"},
    {"====", std::string("\0", 1)},
    {"QUJD====", std::string("ABC\0", 4)},
    // Characters outside the alphabet count as 0 bits and do not stop it.
    {"QU D", "A@\x03"},
    {"QU-D", "A@\x03"},
    {"QU_D", "A@\x03"},
    {"QU D QUJD", "A@\x03\x01\x05\t"},
    // Zero bytes are decoded like any other.
    {"AAAA", std::string("\0\0\0", 3)},
    {"YQBi", std::string("a\0b", 3)},
};

TEST(DecodeBase64, EdgeCases)
{
    for (const DecodeCase &c : DECODE_CASES) {
        SCOPED_TRACE(testing::Message() << "text \"" << c.text << "\"");
        EXPECT_EQ(decoded_bytes(c.text, c.expected.size()), c.expected + '\0');
    }
}

TEST(DecodeBase64, ZeroByteEndsTheText)
{
    char *out = decode_base64("YQBi");
    ASSERT_NE(out, nullptr);
    EXPECT_STREQ(out, "a");
    free(out);
}

// Every code that is not in the standard alphabet decodes as "A" does (0
// bits), "=" apart, which also shortens the result.
TEST(DecodeBase64, EveryCodeOutsideTheAlphabetIsZeroBits)
{
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int code = 1; code < 256; code++) {
        if (code == '=' || alphabet.find((char)code) != std::string::npos)
            continue;
        SCOPED_TRACE(testing::Message() << "code " << code);
        std::string text = std::string("QU") + (char)code + "DQUJD";
        EXPECT_EQ(decoded_bytes(text.c_str(), 6), std::string("A@\x03" "ABC", 6) + '\0');
    }
}

TEST(DecodeBase64, EveryAlphabetCharacterHasItsValue)
{
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int value = 0; value < 64; value++) {
        SCOPED_TRACE(testing::Message() << "character " << alphabet[value]);
        // The character in the last place of a group gives its value as the
        // group's third byte.
        std::string text = std::string("AAA") + alphabet[value];
        EXPECT_EQ(decoded_bytes(text.c_str(), 3), std::string("\0\0", 2) + (char)value + '\0');
    }
}

// Straight from RFC 4648, section 4, with padding.
std::string rfc4648_encode(const std::string &data)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        unsigned v = (unsigned char)data[i] << 16 | (unsigned char)data[i + 1] << 8 | (unsigned char)data[i + 2];
        out += alphabet[v >> 18 & 63];
        out += alphabet[v >> 12 & 63];
        out += alphabet[v >> 6 & 63];
        out += alphabet[v & 63];
    }
    if (data.size() - i == 1) {
        unsigned v = (unsigned char)data[i] << 16;
        out += alphabet[v >> 18 & 63];
        out += alphabet[v >> 12 & 63];
        out += "==";
    } else if (data.size() - i == 2) {
        unsigned v = (unsigned char)data[i] << 16 | (unsigned char)data[i + 1] << 8;
        out += alphabet[v >> 18 & 63];
        out += alphabet[v >> 12 & 63];
        out += alphabet[v >> 6 & 63];
        out += '=';
    }
    return out;
}

TEST(DecodeBase64, EncoderItselfMatchesRfcVectors)
{
    const char *const vectors[][2] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto &v : vectors)
        EXPECT_EQ(rfc4648_encode(v[0]), v[1]);
}

TEST(DecodeBase64, AgreesWithStandardEncoderOnRandomInput)
{
    std::mt19937 random(20240611);
    for (size_t length = 0; length <= 64; length++) {
        for (int round = 0; round < 40; round++) {
            std::string data(length, '\0');
            // Half the rounds avoid zero bytes so the result also reads as
            // text; the other half may hold any byte.
            bool any_byte = round % 2 == 1;
            for (char &c : data)
                c = (char)(any_byte ? random() % 256 : 1 + random() % 255);
            std::string encoded = rfc4648_encode(data);
            SCOPED_TRACE(testing::Message() << "encoded \"" << encoded << "\"");

            ASSERT_EQ(decoded_bytes(encoded.c_str(), length), data + '\0');
            // The daemon may hand the value over with its newline.
            ASSERT_EQ(decoded_bytes((encoded + "\n").c_str(), length), data + '\0');
            if (!any_byte) {
                char *out = decode_base64(encoded.c_str());
                ASSERT_NE(out, nullptr);
                EXPECT_EQ(strlen(out), length);
                free(out);
            }
        }
    }
}

TEST(DecodeBase64, LongestStoredValue)
{
    // A value fills at most 9998 characters of the value buffer.
    std::string data;
    for (size_t i = 0; i < 7497; i++)
        data += (char)(1 + i % 255);
    // 9996 characters of groups and two left over.
    std::string encoded = rfc4648_encode(data) + "QQ";
    ASSERT_EQ(encoded.size(), 9998u);
    EXPECT_EQ(decoded_bytes(encoded.c_str(), data.size()), data + '\0');
}

// Runs `body` in a child process whose address space is capped just above
// what it already uses, so that any large allocation fails. Returns the
// child's exit status.
template <typename Body>
int run_with_capped_memory(Body body)
{
    pid_t pid = fork();
    if (pid == 0) {
        int code = body();
        fflush(NULL);
        _exit(code);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool cap_address_space(size_t headroom)
{
    long pages = 0;
    FILE *statm = fopen("/proc/self/statm", "r");
    if (!statm || fscanf(statm, "%ld", &pages) != 1)
        return false;
    fclose(statm);
    struct rlimit limit;
    getrlimit(RLIMIT_AS, &limit);
    limit.rlim_cur = (rlim_t)pages * (rlim_t)sysconf(_SC_PAGESIZE) + headroom;
    return setrlimit(RLIMIT_AS, &limit) == 0;
}

void uncap_address_space()
{
    struct rlimit limit;
    getrlimit(RLIMIT_AS, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_AS, &limit);
}

// 96 MiB of Base64 needs 72 MiB of result; the cap leaves 16 MiB.
const size_t HUGE_PASSWORD = 96u << 20;
const size_t HEADROOM = 16u << 20;

TEST(DecodeBase64, ReturnsNullWhenResultCannotBeAllocated)
{
#ifdef TEST_UNDER_ASAN
    GTEST_SKIP() << "AddressSanitizer needs more address space than the cap leaves";
#endif
    int status = run_with_capped_memory([] {
        std::string stored(HUGE_PASSWORD, 'Q');
        if (!cap_address_space(HEADROOM))
            return 2;
        char *out = decode_base64(stored.c_str());
        bool refused = out == NULL;
        free(out);
        uncap_address_space();
        // The decoder is still usable once memory is back.
        char *again = decode_base64("QUJD");
        bool recovered = again && strcmp(again, "ABC") == 0;
        free(again);
        return refused && recovered ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
}

// A password that cannot be decoded must never reach the client as some other
// text: the whole document is refused and the previous file kept.
TEST(DecodeBase64, UndecodablePasswordRefusesTheDocument)
{
#ifdef TEST_UNDER_ASAN
    GTEST_SKIP() << "AddressSanitizer needs more address space than the cap leaves";
#endif
    sandbox_reset();
    write_file("/tmp/kept.json", "previous document\n");
    int status = run_with_capped_memory([] {
        int err = open("/tmp/stderr", O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(err, 2);
        std::string stored(HUGE_PASSWORD, 'Q');
        int refused_existing, refused_new;
        {
            Document doc;
            doc_string(doc.root, "server", "a");
            if (!cap_address_space(HEADROOM))
                return 2;
            doc_password(doc.root, "password", stored.c_str());
            uncap_address_space();
            // Members that can still be added do not make it whole again.
            doc_string(doc.root, "method", "m");
            refused_existing = write_document(doc.root, "/tmp/kept.json");
            refused_new = write_document(doc.root, "/tmp/new.json");
        }
        // The next document starts afresh.
        Document next;
        json_object *array = doc_array(next.root, "password");
        doc_element_password(array, "YQBi");
        int written = write_document(next.root, "/tmp/next.json");
        return refused_existing == -1 && refused_new == -1 && written == 0 ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read_file("/tmp/kept.json"), "previous document\n");
    EXPECT_FALSE(file_exists("/tmp/new.json"));
    EXPECT_EQ(read_file("/tmp/stderr"), "write /tmp/kept.json error: Cannot allocate memory\n"
                                        "write /tmp/new.json error: Cannot allocate memory\n");
    EXPECT_EQ(read_file("/tmp/next.json"), "{ \"password\": [ \"a\" ] }\n");
}

TEST(DecodeBase64, ArrayPasswordRefusedAlike)
{
#ifdef TEST_UNDER_ASAN
    GTEST_SKIP() << "AddressSanitizer needs more address space than the cap leaves";
#endif
    sandbox_reset();
    int status = run_with_capped_memory([] {
        int err = open("/tmp/stderr", O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(err, 2);
        std::string stored(HUGE_PASSWORD, 'Q');
        Document doc;
        json_object *array = doc_array(doc.root, "password");
        if (!cap_address_space(HEADROOM))
            return 2;
        doc_element_password(array, stored.c_str());
        uncap_address_space();
        return write_document(doc.root, "/tmp/out.json") == -1 ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(file_exists("/tmp/out.json"));
    EXPECT_EQ(read_file("/tmp/stderr"), "write /tmp/out.json error: Cannot allocate memory\n");
}

} // namespace
