// The text of the written documents and the way they reach the disk: the
// serialised form built through the document helpers, escaping as the real
// binary writes it, and every way the output file can fail to be written.
#include "document.h"
#include "fixture.h"

#include <json-c/json.h>
#include <limits.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

// The Shadowsocks document of node 0 with only a server stored, the server
// given already escaped as JSON.
std::string document_with_server(const std::string &escaped)
{
    return "{ \"server\": \"" + escaped +
           "\", \"server_port\": 0, \"local_address\": \"0.0.0.0\", \"local_port\": 1080, \"mode\": "
           "\"tcp_and_udp\", \"password\": \"\", \"timeout\": 600, \"method\": \"\", \"fast_open\": false, "
           "\"reuse_port\": true, \"protocol\": \"socks\" }\n";
}

const std::string EMPTY_DOCUMENT = document_with_server("");
const std::string NO_SPACE = "No space left on device";

mode_t mode_of(const std::string &path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0 ? info.st_mode : 0;
}

off_t size_of(const std::string &path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0 ? info.st_size : -1;
}

// Fills a file system to the last byte.
void fill_up(const std::string &path)
{
    FILE *file = fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    setvbuf(file, NULL, _IONBF, 0);
    const std::string chunk(512, 'f');
    while (fwrite(chunk.data(), 1, chunk.size(), file) == chunk.size()) {
    }
    while (fputc('f', file) != EOF) {
    }
    fclose(file);
}

// A document built here, through the same helpers as the generators, written
// and read back.
class DocumentUnitTest : public testing::Test {
protected:
    void SetUp() override { sandbox_reset(); }

    std::string written(const Document &doc)
    {
        EXPECT_EQ(write_document(doc.root, PATH), 0);
        return read_file(PATH);
    }

    static constexpr const char *PATH = "/tmp/x.json";
};

TEST_F(DocumentUnitTest, WorkedExampleByteForByte)
{
    Document doc;
    doc_string(doc.root, "path", "/tmp/x.log");
    doc_int(doc.root, "port", 1080);
    doc_int(doc.root, "offset", -1);
    doc_bool(doc.root, "enabled", true);
    json_object *list = doc_array(doc.root, "list");
    doc_element_string(list, "a");
    json_object_array_add(list, json_object_new_int(2));
    doc_object(doc.root, "empty");
    doc_array(doc.root, "none");
    doc_string(doc.root, "text", "say \"hi\"\\\tx\x01");
    EXPECT_EQ(written(doc), "{ \"path\": \"\\/tmp\\/x.log\", \"port\": 1080, \"offset\": -1, \"enabled\": true, \"list\": "
                            "[ \"a\", 2 ], \"empty\": { }, \"none\": [ ], \"text\": \"say \\\"hi\\\"\\\\\\tx\\u0001\" }\n");
}

TEST_F(DocumentUnitTest, SmallestDocumentsAndIntegerLimits)
{
    {
        Document doc;
        EXPECT_EQ(written(doc), "{ }\n");
    }
    {
        Document doc;
        doc_int(doc.root, "zero", 0);
        doc_int(doc.root, "min", INT_MIN);
        doc_int(doc.root, "max", INT_MAX);
        doc_bool(doc.root, "off", false);
        doc_string(doc.root, "", "");
        json_object *nested = doc_element_object(doc_array(doc.root, "a"));
        doc_object(nested, "o");
        EXPECT_EQ(written(doc), "{ \"zero\": 0, \"min\": -2147483648, \"max\": 2147483647, \"off\": false, \"\": \"\", "
                                "\"a\": [ { \"o\": { } } ] }\n");
    }
}

TEST_F(DocumentUnitTest, MemberNamesAreEscapedLikeValues)
{
    Document doc;
    doc_string(doc.root, "a\"b\\c/d\x01\x0b\x1f\t\x7f\xc3\xa9", "v");
    EXPECT_EQ(written(doc), "{ \"a\\\"b\\\\c\\/d\\u0001\\u000b\\u001f\\t\x7f\xc3\xa9\": \"v\" }\n");
}

TEST_F(DocumentUnitTest, SameNameTwiceKeepsOneMemberAtTheFirstPlace)
{
    Document doc;
    doc_string(doc.root, "a", "first");
    doc_int(doc.root, "b", 2);
    doc_object(doc.root, "a");
    doc_int(doc.root, "c", 3);
    doc_string(doc.root, "a", "last");
    EXPECT_EQ(written(doc), "{ \"a\": \"last\", \"b\": 2, \"c\": 3 }\n");
}

TEST_F(DocumentUnitTest, UnbuildableDocumentLeavesTheFileAlone)
{
    write_file(PATH, "previous document\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(write_document(NULL, PATH), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "write /tmp/x.json error: Cannot allocate memory\n");
    EXPECT_EQ(read_file(PATH), "previous document\n");

    testing::internal::CaptureStderr();
    EXPECT_EQ(write_document(NULL, "/tmp/new.json"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "write /tmp/new.json error: Cannot allocate memory\n");
    EXPECT_FALSE(file_exists("/tmp/new.json"));
}

class OutputTest : public TarvickTest {
protected:
    RunResult write_to(const std::string &path)
    {
        return run_tarvick({"0", path, "1080", "1081", "tcp,udp"});
    }
};

TEST_F(OutputTest, StoredTextsAreEscapedInTheWrittenFile)
{
    struct Case {
        std::string name, stored, written;
    };
    const std::vector<Case> cases = {
        {"double quote", "a\"b", "a\\\"b"},
        {"backslash", "a\\b", "a\\\\b"},
        {"slash", "/rom/etc/ssl/certs/ca-certificates.crt", "\\/rom\\/etc\\/ssl\\/certs\\/ca-certificates.crt"},
        {"short escapes", "\b\t\n\f\r", "\\b\\t\\n\\f\\r"},
        {"vertical tab", "\x0b", "\\u000b"},
        {"unit separator", "\x1f", "\\u001f"},
        {"escape", "\x1b[0m", "\\u001b[0m"},
        {"every control byte",
         "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10\x11\x12\x13\x14\x15\x16\x17\x18\x19\x1a\x1b"
         "\x1c\x1d\x1e\x1f",
         "\\u0001\\u0002\\u0003\\u0004\\u0005\\u0006\\u0007\\b\\t\\n\\u000b\\f\\r\\u000e\\u000f\\u0010\\u0011\\u0012"
         "\\u0013\\u0014\\u0015\\u0016\\u0017\\u0018\\u0019\\u001a\\u001b\\u001c\\u001d\\u001e\\u001f"},
        {"delete", "a\x7f", "a\x7f"},
        {"UTF-8", "h\xc3\xa9llo \xe2\x82\xac \xf0\x9f\x98\x80", "h\xc3\xa9llo \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"not UTF-8", "\xff\xfe\x80\xc3", "\xff\xfe\x80\xc3"},
        {"other punctuation", "'<>&{}[]:,# ~", "'<>&{}[]:,# ~"},
        {"already escaped text", "\\u0041\\/", "\\\\u0041\\\\\\/"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        daemon.set("ssconf_basic_server_0", c.stored);
        EXPECT_EQ(generate("0"), document_with_server(c.written));
        EXPECT_EQ(last.status, 0);
    }
}

TEST_F(OutputTest, PathThatCannotBeOpenedIsLeftAloneSilently)
{
    mkdir("/tmp/dir", 0755);
    const std::vector<std::string> paths = {"/tmp/no/such/dir/out.json", "/tmp/dir", "/tmp/dir/", "",
                                            "/tmp/dangling/"};
    ASSERT_EQ(symlink("/tmp/no/such/file", "/tmp/dangling"), 0);
    for (const std::string &path : paths) {
        SCOPED_TRACE("path '" + path + "'");
        RunResult run = write_to(path);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "");
    }
    EXPECT_FALSE(file_exists("/tmp/no"));
    EXPECT_TRUE(S_ISDIR(mode_of("/tmp/dir")));
    EXPECT_EQ(rmdir("/tmp/dir"), 0) << "the directory stays empty";
}

// The sandbox shares the host's /dev: a tool that removed what it could not
// write would take the machine's own /dev/full with it. This test's namespace
// gets a /dev of its own instead.
void private_dev()
{
    ASSERT_EQ(mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755"), 0) << strerror(errno);
    if (mknod("/dev/full", S_IFCHR | 0666, makedev(1, 7)) != 0 && errno == EPERM) {
        // A user namespace makes no devices: the sandbox's own /dev serves,
        // whose devices are bound in and so cannot be removed either.
        ASSERT_EQ(umount("/dev"), 0) << strerror(errno);
        return;
    }
    ASSERT_EQ(mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3)), 0) << strerror(errno);
}

TEST_F(OutputTest, DeviceThatIsFullReportsAndSurvives)
{
    private_dev();
    ASSERT_EQ(symlink("/dev/full", "/tmp/link"), 0);
    for (const std::string path : {"/dev/full", "/tmp/link"}) {
        SCOPED_TRACE(path);
        RunResult run = write_to(path);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "write " + path + " error: " + NO_SPACE + "\n");
        EXPECT_TRUE(S_ISCHR(mode_of("/dev/full"))) << "the device must never be removed";
    }
    EXPECT_TRUE(S_ISLNK(mode_of("/tmp/link")));
    char target[64] = {};
    EXPECT_GT(readlink("/tmp/link", target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "/dev/full");
}

TEST_F(OutputTest, FileOnAFullFileSystemIsCutToEmpty)
{
    // 8 KiB of tmpfs: a long server name makes the document larger than the
    // whole file system, so it cannot be written even once the old content
    // has been truncated away.
    const std::string dir = "/tmp/full";
    mkdir(dir.c_str(), 0755);
    ASSERT_EQ(mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=8k"), 0) << strerror(errno);
    struct Case {
        std::string name, target, old_content, server;
    };
    const std::vector<Case> cases = {
        {"old content, long document", dir + "/old.json", "previous document\n", std::string(9000, 's')},
        {"new file, short document", dir + "/new.json", "", "host"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.old_content.empty())
            write_file(c.target, c.old_content);
        fill_up(dir + "/filler");
        daemon.set("ssconf_basic_server_0", c.server);
        RunResult run = write_to(c.target);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "write " + c.target + " error: " + NO_SPACE + "\n");
        EXPECT_TRUE(S_ISREG(mode_of(c.target))) << "cut back, never removed";
        EXPECT_EQ(size_of(c.target), 0);
        unlink((dir + "/filler").c_str());
    }
    umount2(dir.c_str(), MNT_DETACH);
}

TEST_F(OutputTest, ExistingFileIsReplacedWhole)
{
    struct Case {
        std::string name, old_content;
    };
    const std::vector<Case> cases = {
        {"longer file", std::string(20000, 'x') + "\n"},
        {"longer document of many lines", std::string(300, '\n')},
        {"shorter file", "{ }\n"},
        {"empty file", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        write_file(OUT, c.old_content);
        EXPECT_EQ(generate("0"), EMPTY_DOCUMENT);
        EXPECT_EQ(last.status, 0);
    }
}

TEST_F(OutputTest, LinkToARegularFileIsFollowed)
{
    write_file("/tmp/real.json", std::string(5000, 'o'));
    ASSERT_EQ(symlink("/tmp/real.json", "/tmp/link.json"), 0);
    RunResult run = write_to("/tmp/link.json");
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(S_ISLNK(mode_of("/tmp/link.json")));
    EXPECT_EQ(read_file("/tmp/real.json"), EMPTY_DOCUMENT);
}

TEST_F(OutputTest, NewFileTakesItsModeFromTheMask)
{
    struct Case {
        mode_t mask, mode;
    };
    const std::vector<Case> cases = {{022, 0644}, {027, 0640}, {0, 0666}, {077, 0600}, {0777, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE("umask " + std::to_string(c.mask));
        unlink(OUT);
        mode_t previous = umask(c.mask); // the tool inherits it
        std::string document = generate("0");
        umask(previous);
        EXPECT_EQ(last.status, 0);
        EXPECT_EQ(mode_of(OUT) & 07777, c.mode);
        EXPECT_EQ(document, EMPTY_DOCUMENT) << "root reads whatever the mode";
    }
    // An existing file keeps its own mode.
    write_file(OUT, "old");
    chmod(OUT, 0600);
    mode_t previous = umask(0);
    EXPECT_EQ(generate("0"), EMPTY_DOCUMENT);
    umask(previous);
    EXPECT_EQ(mode_of(OUT) & 07777, 0600u);
}

} // namespace
