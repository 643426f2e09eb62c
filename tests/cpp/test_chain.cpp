// Certificate chains: folder listing, loading and self-verification of chain files, single
// certificate verification, and building a signer's chain by authority key identifiers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "cCertChain.hpp"
#include "cMessages.hpp"
#include "chain_support.hpp"

using namespace chaintest;

namespace {

std::string loading(int slot) {
    std::string text(msg::P7B_LOADING);
    return text.replace(text.find("%s"), 2, "P7B" + std::to_string(slot) + ".name");
}

std::string loaded(int slot) {
    std::string text(msg::P7B_LOADED);
    return text.replace(text.find("%s"), 2, "P7B" + std::to_string(slot) + ".name");
}

// A properties text with the chain folder and the given (slot, name, SKI) entries.
struct Slot {
    int slot;
    std::string name;
    std::string ski;
};
std::string chainProps(const std::string& folder, const std::vector<Slot>& slots) {
    std::string text = "P7B.path = " + folder + "\n";
    for (const Slot& s : slots) {
        text += "P7B" + std::to_string(s.slot) + ".name = " + s.name + "\n";
        text += "P7B" + std::to_string(s.slot) + ".SKI = " + s.ski + "\n";
    }
    return text;
}

ossl_ptr<PKCS7> readP7(const std::string& name) {
    ossl_ptr<BIO> bio(BIO_new_file((p7bDir() + "/" + name).c_str(), "r"));
    return ossl_ptr<PKCS7>(bio ? d2i_PKCS7_bio(bio.get(), nullptr) : nullptr);
}

std::vector<std::string> subjectsOf(STACK_OF(X509) * list) {
    std::vector<std::string> out;
    for (int i = 0; i < sk_X509_num(list); ++i) {
        char buf[512];
        X509_NAME_get_text_by_NID(X509_get_subject_name(sk_X509_value(list, i)), NID_commonName, buf,
                                  sizeof buf);
        out.push_back(buf);
    }
    return out;
}

std::string verifyText(int code) { return X509_verify_cert_error_string(code); }

}  // namespace

TEST(ListP7bFiles, ListsRegularFilesWithTheExtensionInAnyCase) {
    const std::string dir = makeTempDir("dorvane-list");
    for (const char* n : {"a.P7B", "b.p7b", "c.txt", "p7b", ".p7b", "d.p7b.bak"})
        writeFile(dir + "/" + n, "x");
    // Only regular files are chain files: a folder, a FIFO or a dangling link of such a name is
    // not, a link to a regular file is.
    mkdir((dir + "/sub.p7B").c_str(), 0755);
    mkfifo((dir + "/fifo.p7b").c_str(), 0600);
    ASSERT_EQ(symlink("b.p7b", (dir + "/link.p7b").c_str()), 0);
    ASSERT_EQ(symlink("absent", (dir + "/dangling.p7b").c_str()), 0);
    std::vector<std::string> names{"kept"};
    ASSERT_TRUE(listP7bFiles(dir, names));
    std::sort(names.begin() + 1, names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"kept", ".p7b", "a.P7B", "b.p7b", "link.p7b"}));
    EXPECT_FALSE(listP7bFiles("", names));
    EXPECT_FALSE(listP7bFiles(dir + "/absent", names));
    removeTree(dir);
}

struct LoadCase {
    const char* what;
    std::vector<Slot> slots;
    bool result;
    std::vector<std::string> filedSkis;  // names of fixture SKIs filed in the map
    std::vector<std::string> lines;      // lines the log must hold
    std::vector<std::string> absent;     // lines it must not hold
};

std::vector<LoadCase> loadCases() {
    const std::string discarded = msg::CHAIN_DISCARDED;
    const std::string mismatch = msg::CHAIN_SKI_MISMATCH;
    std::string lower = ski("I2");
    for (char& c : lower) c = static_cast<char>(tolower(c));
    return {
        {"good chain",
         {{0, "chain.p7b", ski("I2")}},
         true,
         {"I2"},
         {loaded(0), msg::DUMP_ROOT, msg::DUMP_CA, msg::DUMP_VERIFIED},
         {discarded}},
        {"name in other case, opened under its listed name",
         {{0, "CHAIN.P7B", ski("I2")}},
         true,
         {"I2"},
         {loaded(0)},
         {}},
        {"root SKI also matches", {{0, "chain.p7b", ski("R")}}, true, {"R"}, {loaded(0)}, {}},
        {"lower-case SKI never matches",
         {{0, "chain.p7b", lower}},
         false,
         {},
         {mismatch + " = " + lower, discarded},
         {loaded(0)}},
        {"SKI of nothing", {{0, "chain.p7b", "0123"}}, false, {}, {mismatch + " = 0123", discarded}, {}},
        {"empty SKI", {{0, "chain.p7b", ""}}, false, {}, {mismatch + " = ", discarded}, {}},
        {"no root", {{0, "noroot.p7b", ski("I2")}}, false, {}, {msg::NO_ROOT_CERT, discarded}, {}},
        {"expired intermediate",
         {{0, "expired.p7b", ski("X")}},
         false,
         {},
         {std::string(msg::DUMP_VERIFY_FAILED) + " = " + verifyText(X509_V_ERR_CERT_HAS_EXPIRED), discarded},
         {}},
        {"end-entity inside is accepted, not verified",
         {{0, "withee.p7b", ski("I2")}},
         true,
         {"I2"},
         {loaded(0), msg::DUMP_EE, msg::DUMP_NOT_VERIFIED, "\t|\t|--- CrlDP = http://crl.example.test/a.crl",
          "\t|\t|--- CrlDP = ldap://crl.example.test/b", "begin cCertChainEntry::verifyCert()",
          "end cCertChainEntry::verifyCert() = 0x00000000(0)"},
         {}},
        {"not PKCS#7: no message", {{0, "notp7.p7b", ski("I2")}}, false, {}, {}, {discarded}},
        {"PEM where DER is expected", {{0, "pem.p7b", ski("I2")}}, false, {}, {}, {discarded}},
        {"SignedData without certificates", {{0, "nocerts.p7b", ski("I2")}}, false, {}, {}, {discarded}},
        {"unlisted name is skipped silently",
         {{0, "absent.p7b", ski("I2")}, {1, "chain.p7b", ski("I2")}},
         true,
         {"I2"},
         {loaded(1)},
         {loading(0)}},
        {"slots 0 and 5 with gaps, slot 10 ignored",
         {{0, "chain.p7b", ski("I2")}, {5, "noski.p7b", ski("J2")}, {10, "loop.p7b", ski("A")}},
         true,
         {"I2", "J2"},
         {loaded(0), loaded(5)},
         {"P7B10"}},
        {"same SKI twice: first stays, both accepted",
         {{0, "chain.p7b", ski("I2")}, {1, "withee.p7b", ski("I2")}},
         true,
         {"I2"},
         {loaded(0), loaded(1)},
         {}},
        {"one good, one bad",
         {{0, "chain.p7b", ski("I2")}, {1, "noroot.p7b", ski("I2")}},
         false,
         {"I2"},
         {loaded(0)},
         {loaded(1)}},
    };
}

TEST(ChainLoad, SlotTable) {
    for (const LoadCase& c : loadCases()) {
        SCOPED_TRACE(c.what);
        auto p = props(chainProps(p7bDir(), c.slots));
        LogCapture log;
        cCertChainList list;
        EXPECT_EQ(list.loadCertChainFiles(p.get()), c.result);
        std::vector<std::string> want;
        for (const std::string& n : c.filedSkis) want.push_back(ski(n));
        std::sort(want.begin(), want.end());
        std::vector<std::string> got;
        for (const auto& kv : list.chains) {
            got.push_back(kv.first);
            EXPECT_TRUE(kv.second->loaded);
        }
        EXPECT_EQ(got, want);
        for (const std::string& l : c.lines) EXPECT_TRUE(log.has(l)) << "missing: " << l;
        for (const std::string& l : c.absent) EXPECT_FALSE(log.has(l)) << "unexpected: " << l;
        EXPECT_EQ(list.folder, p7bDir());
    }
}

TEST(ChainLoad, SameSkiTwiceKeepsTheFirstChain) {
    auto p = props(chainProps(p7bDir(), {{4, "withee.p7b", ski("I2")}, {7, "chain.p7b", ski("I2")}}));
    cCertChainList list;
    EXPECT_TRUE(list.loadCertChainFiles(p.get()));
    ASSERT_EQ(list.chains.size(), 1u);
    EXPECT_EQ(list.chains.begin()->second->slotKey, "P7B4");
}

TEST(ChainLoadFolder, FolderErrors) {
    struct Case {
        std::string props;
        const char* line;
    } cases[] = {
        {"P7B0.name = chain.p7b\n", msg::P7B_PATH_MISSING},
        {"P7B.path = /nonexistent/p7b\nP7B0.name = chain.p7b\n", msg::P7B_PATH_UNREADABLE},
    };
    for (const Case& c : cases) {
        LogCapture log;
        cCertChainList list;
        auto p = props(c.props);
        EXPECT_FALSE(list.loadCertChainFiles(p.get()));
        EXPECT_TRUE(log.has(c.line));
        EXPECT_TRUE(list.chains.empty());
    }
    LogCapture log;
    cCertChainList list;
    EXPECT_FALSE(list.loadCertChainFiles(nullptr));
    EXPECT_TRUE(log.has(msg::PARAM_PROPERTY_NULL));
}

TEST(ChainLoadFolder, FolderWithoutChainFilesGivesTrueAndNoChain) {
    const std::string dir = makeTempDir("dorvane-empty");
    cCertChainList list;
    auto p = props(chainProps(dir, {{0, "chain.p7b", ski("I2")}}));
    EXPECT_TRUE(list.loadCertChainFiles(p.get()));
    EXPECT_TRUE(list.chains.empty());
    removeTree(dir);
}

TEST(ChainLoadFolder, FolderWithTrailingSlashAndLogLabels) {
    LogCapture log;
    cCertChainList list;
    auto p = props(chainProps(p7bDir() + "/", {{3, "chain.p7b", ski("I2")}}));
    EXPECT_TRUE(list.loadCertChainFiles(p.get()));
    EXPECT_EQ(list.chains.size(), 1u);
    EXPECT_TRUE(log.has(loading(3) + " = chain.p7b"));
    EXPECT_TRUE(log.has("end cCertChainList::loadCertChainFiles() = true"));
}

TEST(ChainLoadFolder, ChainFileThatCannotBeOpenedCountsNowhere) {
    // A dangling link, and a folder named like a chain file (which the C library would open as
    // an empty file): both are skipped without a trace.
    const std::string dir = makeTempDir("dorvane-unopenable");
    ASSERT_EQ(symlink("/nonexistent/target", (dir + "/gone.p7b").c_str()), 0);
    ASSERT_EQ(mkdir((dir + "/folder.p7b").c_str(), 0755), 0);
    for (const char* name : {"gone.p7b", "folder.p7b"}) {
        LogCapture log;
        cCertChainList list;
        auto p = props(chainProps(dir, {{0, name, ski("I2")}}));
        EXPECT_TRUE(list.loadCertChainFiles(p.get())) << name;
        EXPECT_TRUE(list.chains.empty());
        EXPECT_FALSE(log.has(msg::CHAIN_DISCARDED)) << name;
    }
    removeTree(dir);
}

TEST(ChainEntry, SelfVerifiedContent) {
    auto p7 = readP7("withee.p7b");
    ASSERT_TRUE(p7);
    cCertChainEntry e("P7B2", ski("I2"), p7.get(), nullptr);
    EXPECT_FALSE(e.loaded);  // self-verified, but the lists need properties
    ASSERT_TRUE(e.store);
    EXPECT_EQ(e.slotKey, "P7B2");
    EXPECT_NE(e.content.get(), p7.get());  // its own copy
    EXPECT_EQ(e.subjects, (std::set<std::string>{"/C=TW/O=Dorvane Test/CN=Test Root R",
                                                 "/C=TW/O=Dorvane Test/OU=CA/CN=Test Intermediate I1",
                                                 "/C=TW/O=Dorvane Test/OU=CA/CN=Test Issuing I2"}));
    std::vector<std::string> skis;
    for (const auto& kv : e.skiMap) skis.push_back(kv.first);
    EXPECT_EQ(skis, (std::vector<std::string>{ski("R"), ski("I1"), ski("I2")}));
}

TEST(ChainEntry, NoPkcs7OrNoCertificates) {
    cCertChainEntry none("P7B0", "x", nullptr, nullptr);
    EXPECT_FALSE(none.loaded);
    EXPECT_FALSE(none.store);
    auto p7 = readP7("nocerts.p7b");
    ASSERT_TRUE(p7);
    auto q = props("");
    cCertChainEntry empty("P7B0", "x", p7.get(), q.get());
    EXPECT_FALSE(empty.loaded);
    EXPECT_FALSE(empty.selfVerify());
}

TEST(ChainEntry, VerifyCertCodes) {
    auto p7 = readP7("chain.p7b");
    auto q = props("");
    cCertChainEntry e("P7B0", ski("I2"), p7.get(), q.get());
    ASSERT_TRUE(e.loaded);
    {
        LogCapture log;
        auto user = loadCert("user");
        EXPECT_EQ(e.verifyCert(user.get()), 0);
        EXPECT_TRUE(
            log.has(std::string(msg::VERIFY_SUBJECT) + " = /C=TW/O=Dorvane Test/OU=Users/CN=Wang Da"));
    }
    {
        LogCapture log;
        auto other = loadCert("j2user");  // issued by a CA outside this chain
        EXPECT_EQ(e.verifyCert(other.get()), -1);
        EXPECT_TRUE(log.has(msg::NOT_SAME_CHAIN));
    }
    {
        LogCapture log;
        cCertChainEntry bare("P7B0", "x", nullptr, nullptr);
        auto user = loadCert("user");
        EXPECT_EQ(bare.verifyCert(user.get()), -1);
        EXPECT_TRUE(log.has(msg::STORE_MISSING));
    }
    EXPECT_FALSE(e.hasSubject(nullptr));
    NamePtr empty(X509_NAME_new());
    EXPECT_FALSE(e.hasSubject(empty.get()));
}

TEST(ChainEntry, ExpiredIntermediateGivesOpenSslsCode) {
    auto p7 = readP7("expired.p7b");
    auto q = props("");
    cCertChainEntry e("P7B0", ski("X"), p7.get(), q.get());
    EXPECT_FALSE(e.loaded);
    EXPECT_TRUE(e.skiMap.count(ski("R")));
    EXPECT_FALSE(e.skiMap.count(ski("X")));
    // its issuer verified, so verifyCert checks it against the store: a positive code
    X509* expired = sk_X509_value(e.certificates(), 1);
    EXPECT_EQ(e.verifyCert(expired), X509_V_ERR_CERT_HAS_EXPIRED);
}

struct WalkCase {
    const char* what;
    std::vector<Slot> slots;
    const char* signer;
    bool hasList;
    std::vector<std::string> cns;
};

TEST(PrepareCertChain, WalksAuthorityKeyIdentifiers) {
    const WalkCase cases[] = {
        {"root, intermediate, issuer",
         {{0, "chain.p7b", ski("I2")}},
         "user",
         true,
         {"Test Root R", "Test Intermediate I1", "Test Issuing I2"}},
        {"intermediate without SKI ends the walk",
         {{0, "noski.p7b", ski("J2")}},
         "j2user",
         true,
         {"Test Issuing J2"}},
        {"signer AKI is not a configured SKI", {{0, "chain.p7b", ski("I2")}}, "i1user", false, {}},
        {"identifiers in a loop: the walk ends",
         {{0, "loop.p7b", ski("A")}},
         "loopuser",
         true,
         {"Test Loop B", "Test Loop A"}},
    };
    for (const WalkCase& c : cases) {
        SCOPED_TRACE(c.what);
        cCertChainList list;
        auto p = props(chainProps(p7bDir(), c.slots));
        ASSERT_TRUE(list.loadCertChainFiles(p.get()));
        auto signer = loadCert(c.signer);
        ASSERT_TRUE(signer);
        LogCapture log;
        X509RefStackPtr chain(list.prepareCertChain(signer.get()));
        EXPECT_EQ(chain != nullptr, c.hasList);
        EXPECT_EQ(subjectsOf(chain.get()), c.cns);
        char count[64];
        snprintf(count, sizeof count, " = 0x%08X(%d)", static_cast<unsigned>(c.cns.size()),
                 static_cast<int>(c.cns.size()));
        EXPECT_TRUE(log.has(std::string(msg::CHAIN_COUNT) + count));
    }
}

TEST(PrepareCertChain, RootLineAndReferencesIntoTheEntry) {
    cCertChainList list;
    auto p = props(chainProps(p7bDir(), {{0, "chain.p7b", ski("I2")}}));
    ASSERT_TRUE(list.loadCertChainFiles(p.get()));
    auto user = loadCert("user");
    LogCapture log;
    X509RefStackPtr chain(list.prepareCertChain(user.get()));
    ASSERT_EQ(sk_X509_num(chain.get()), 3);
    EXPECT_TRUE(log.has(msg::CHAIN_ROOT_FOUND));
    EXPECT_TRUE(
        log.has(std::string(msg::CHAIN_FOUND_SUBJECT) + " = /C=TW/O=Dorvane Test/OU=CA/CN=Test Issuing I2"));
    // the list refers to the entry's own certificates (no copies)
    EXPECT_EQ(sk_X509_value(chain.get(), 2), list.chains.at(ski("I2"))->skiMap.at(ski("I2"))->get());
    EXPECT_FALSE(list.prepareCertChain(nullptr));
}

TEST(MirvoChainList, IsOneProcessWideList) { EXPECT_EQ(&mirvoChainList(), &mirvoChainList()); }
