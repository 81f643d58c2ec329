#include "net/dnssdbrowser.h"
#include "net/dnssdrecord.h"
#include "net/hostlookup.h"
#include "net/keyfile.h"
#include "net/notifierpair.h"
#include "net/tls.h"

#include <QHostAddress>
#include <QDir>
#include <QFile>
#include <QHostInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

class TestNet : public QObject
{
    Q_OBJECT
private slots:
    void firstIPv4_data();
    void firstIPv4();
    void lookupGivenUpNeverReports_data();
    void lookupGivenUpNeverReports();
    void fingerprintForms_data();
    void fingerprintForms();
    void sessionOnNonBlockingSockets();
    void sharedSetHandlesEveryReadyWatchOnce();
    void keyFileLastsAndRefusesWhatItCannotTrust_data();
    void keyFileLastsAndRefusesWhatItCannotTrust();
    void hostileTxtRecords_data();
    void hostileTxtRecords();
    void announcedNamesAreShownPlain_data();
    void announcedNamesAreShownPlain();
};

void TestNet::announcedNamesAreShownPlain_data()
{
    QTest::addColumn<QString>("announced");
    QTest::addColumn<QString>("shown");
    QTest::newRow("plain") << QStringLiteral("Kestrelon Chat auf büro-pc") << QStringLiteral("Kestrelon Chat auf büro-pc");
    QTest::newRow("controls and line breaks") << QStringLiteral("a\x1b[2J\nb\tc\u2028d") << QStringLiteral("a [2J b c d");
    QTest::newRow("bidi override") << QStringLiteral("Server \u202Egnp.exe") << QStringLiteral("Server gnp.exe");
    QTest::newRow("only invisible") << QStringLiteral("\u200B\u200E\x01") << QString();
    QTest::newRow("emoji kept whole") << QStringLiteral("Chat \U0001F426") << QStringLiteral("Chat \U0001F426");
    QTest::newRow("cut to 63 characters") << QString(200, QLatin1Char('x')) << QString(63, QLatin1Char('x'));
    QTest::newRow("cut between surrogates never") << QString(62, QLatin1Char('x')) + QStringLiteral("\U0001F426\U0001F426")
                                                  << QString(62, QLatin1Char('x')) + QStringLiteral("\U0001F426");
}

// Names come from anybody on the network and are shown in the search list:
// nothing in them may reorder, hide or break the line.
void TestNet::announcedNamesAreShownPlain()
{
    QFETCH(QString, announced);
    QFETCH(QString, shown);
    QCOMPARE(kc::dnssd::cleanName(announced), shown);
}

using Status = kc::tls::KeyFile::Status;
Q_DECLARE_METATYPE(Status)
Q_DECLARE_METATYPE(std::vector<std::string>)

void TestNet::keyFileLastsAndRefusesWhatItCannotTrust_data()
{
    const std::string pemA = kc::tls::Identity::generate(true)->toPem();
    const std::string pemB = kc::tls::Identity::generate(true)->toPem();
    const size_t certificateA = pemA.find("-----BEGIN CERTIFICATE");
    const size_t certificateB = pemB.find("-----BEGIN CERTIFICATE");
    QTest::addColumn<QByteArray>("contents"); // "<none>": no file, "<folder>": a folder
    QTest::addColumn<int>("mode");
    QTest::addColumn<Status>("status");

    QTest::newRow("none yet: made") << QByteArray("<none>") << 0 << Status::Created;
    QTest::newRow("kept one") << QByteArray::fromStdString(pemA) << 0600 << Status::Loaded;
    QTest::newRow("owner read-only") << QByteArray::fromStdString(pemA) << 0400 << Status::Loaded;
    QTest::newRow("group may read") << QByteArray::fromStdString(pemA) << 0640 << Status::Loose;
    QTest::newRow("others may write") << QByteArray::fromStdString(pemA) << 0602 << Status::Loose;
    QTest::newRow("garbage") << QByteArray("kein Schl\xFCssel\n") << 0600 << Status::Corrupt;
    QTest::newRow("empty") << QByteArray() << 0600 << Status::Corrupt;
    QTest::newRow("key, no certificate") << QByteArray::fromStdString(pemA.substr(0, certificateA)) << 0600
                                         << Status::Corrupt;
    QTest::newRow("certificate of another key")
        << QByteArray::fromStdString(pemA.substr(0, certificateA) + pemB.substr(certificateB)) << 0600
        << Status::Corrupt;
    QTest::newRow("cut short") << QByteArray::fromStdString(pemA.substr(0, pemA.size() - 40)) << 0600
                               << Status::Corrupt;
    QTest::newRow("too large") << QByteArray::fromStdString(pemA) + QByteArray(70 * 1024, '\n') << 0600
                               << Status::Corrupt;
    QTest::newRow("a folder") << QByteArray("<folder>") << 0700 << Status::NotAFile;
    // Whoever could put these there would choose the server's key.
    QTest::newRow("a link in its place") << QByteArray("<link>") << 0600 << Status::Link;
    QTest::newRow("another user's") << QByteArray("<foreign>") << 0600 << Status::Foreign;
}

// A server's key file is made once with mode 0600 and read again at every
// start with the same fingerprint; whatever is wrong with it stops the start
// with a message that names the file and the way to a new key, and the file
// stays as it was.
void TestNet::keyFileLastsAndRefusesWhatItCannotTrust()
{
    QFETCH(QByteArray, contents);
    QFETCH(int, mode);
    QFETCH(Status, status);
    QTemporaryDir folder;
    const std::string path = QFile::encodeName(folder.filePath("nested/kestrelon-chat/server.key")).toStdString();
    const bool link = contents == "<link>";
    const bool foreign = contents == "<foreign>";
    if (link || foreign)
        contents = QByteArray::fromStdString(kc::tls::Identity::generate(true)->toPem());
    if (contents == "<folder>") {
        QVERIFY(QDir().mkpath(QString::fromStdString(path)));
    } else if (contents != "<none>") {
        QVERIFY(QDir().mkpath(folder.filePath("nested/kestrelon-chat")));
        QFile file(link ? folder.filePath("elsewhere.key") : QString::fromStdString(path));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(contents);
        file.close();
        if (link)
            QVERIFY(QFile::link(file.fileName(), QString::fromStdString(path)));
        if (foreign && ::chown(path.c_str(), 65534, 65534) != 0)
            QSKIP("only root can give a file to another user");
    }
    if (mode)
        QCOMPARE(::chmod(path.c_str(), static_cast<mode_t>(mode)), 0);

    const kc::tls::KeyFile opened = kc::tls::openKeyFile(path);
    QCOMPARE(opened.status, status);
    const std::string message = kc::tls::keyFileError(opened, kc::Windows1252(path)).bytes();
    struct stat info{};
    if (!opened.usable()) {
        QVERIFY(!message.empty());
        QVERIFY2(message.find("mv " + path + " " + path + ".alt") != std::string::npos, message.c_str());
        QVERIFY(opened.identity == nullptr);
        if (contents != "<folder>") {
            QFile file(QString::fromStdString(path));
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), contents);
        }
        return;
    }
    QVERIFY(message.empty());
    QCOMPARE(opened.identity->fingerprint().size(), kc::tls::FingerprintSize);
    QCOMPARE(::stat(path.c_str(), &info), 0);
    QCOMPARE(info.st_mode & 0777, mode ? static_cast<mode_t>(mode) : mode_t{0600});
    if (status == Status::Created) {
        // Every folder made on the way, not only the last.
        for (const char *made : {"nested", "nested/kestrelon-chat"}) {
            QCOMPARE(::stat(QFile::encodeName(folder.filePath(made)).constData(), &info), 0);
            QCOMPARE(info.st_mode & 0777, mode_t{0700});
        }
        QCOMPARE(QDir(folder.filePath("nested/kestrelon-chat")).entryList(QDir::Files), QStringList{"server.key"});
    }
    const kc::tls::KeyFile again = kc::tls::openKeyFile(path);
    QCOMPARE(again.status, Status::Loaded);
    QCOMPARE(again.identity->fingerprint(), opened.identity->fingerprint());
}

void TestNet::hostileTxtRecords_data()
{
    using Entries = std::vector<std::string>;
    QTest::addColumn<Entries>("entries");
    QTest::addColumn<int>("protocol");
    QTest::addColumn<bool>("required");
    QTest::addColumn<QString>("shortForm");
    QTest::addColumn<bool>("full");

    std::string raw(32, '\0');
    for (size_t i = 0; i < raw.size(); ++i)
        raw[i] = static_cast<char>(i * 37 + 11);
    kc::dnssd::Announcement own{1, true, raw, kc::tls::fingerprintShort(raw)};
    const Entries built = kc::dnssd::buildTxt(own);
    const QString shortForm = QString::fromStdString(own.shortFingerprint);
    const std::string fp = built.at(3);
    const std::string sha = built.at(4);

    QTest::newRow("our own record") << built << 1 << true << shortForm << true;
    QTest::newRow("nothing") << Entries{} << 0 << false << "" << false;
    QTest::newRow("keys in capitals, short form only")
        << Entries{"PROTO=1", "TLS=offered", "FP=" + fp.substr(3)} << 1 << false << shortForm << false;
    QTest::newRow("short form with blanks") << Entries{"fp=" + own.shortFingerprint} << 0 << false << shortForm
                                            << false;
    QTest::newRow("first of a repeated key counts")
        << Entries{"proto=2", "proto=1", "tls=offered", "tls=required"} << 2 << false << "" << false;
    QTest::newRow("forms that disagree") << Entries{"fp=11111222223333344444", sha} << 0 << false << "" << false;
    QTest::newRow("full form cut") << Entries{fp, sha.substr(0, 40)} << 0 << false << "" << false;
    QTest::newRow("short form with letters") << Entries{"fp=1111122222333334444x", sha} << 0 << false << ""
                                             << false;
    QTest::newRow("binary bytes") << Entries{std::string("proto=\0\xff", 8), std::string("fp=\x01\x02\xfe"),
                                             std::string("\0=\0", 3), std::string(1, '\xff')}
                                  << 0 << false << "" << false;
    QTest::newRow("no = and empty") << Entries{"", "=", "proto", "tls", sha} << 0 << false << shortForm << true;
    QTest::newRow("huge number") << Entries{"proto=99999999999999999999"} << 0 << false << "" << false;
    QTest::newRow("entry longer than DNS-SD carries")
        << Entries{"proto=1" + std::string(300, '1'), "tls=required"} << 0 << true << "" << false;
    Entries many(100000, "x=y");
    many.push_back("proto=1");
    QTest::newRow("thousands of entries, the key after the first 64") << many << 0 << false << "" << false;
}

// What anybody on the network announces is read without trust: nothing
// crashes, nothing but an exact fingerprint is taken, and our own record
// reads back as it was built.
void TestNet::hostileTxtRecords()
{
    using Entries = std::vector<std::string>;
    QFETCH(Entries, entries);
    QFETCH(int, protocol);
    QFETCH(bool, required);
    QFETCH(QString, shortForm);
    QFETCH(bool, full);
    const kc::dnssd::Announcement read = kc::dnssd::parseTxt(entries);
    QCOMPARE(read.protocol, protocol);
    QCOMPARE(read.encryptionRequired, required);
    QCOMPARE(QString::fromStdString(read.shortFingerprint), shortForm);
    QCOMPARE(read.fingerprint.size(), full ? kc::tls::FingerprintSize : 0);
    if (full)
        QCOMPARE(QString::fromStdString(kc::tls::fingerprintShort(read.fingerprint)), shortForm);
}

void TestNet::firstIPv4_data()
{
    QTest::addColumn<QStringList>("found");
    QTest::addColumn<bool>("skipAny");
    QTest::addColumn<QString>("expected");

    QTest::newRow("IPv6 passed over") << QStringList{"::1", "127.0.0.2"} << false << "127.0.0.2";
    QTest::newRow("any taken by the chat") << QStringList{"0.0.0.0", "127.0.0.2"} << false << "0.0.0.0";
    QTest::newRow("any skipped by the stream") << QStringList{"0.0.0.0", "127.0.0.2"} << true << "127.0.0.2";
    QTest::newRow("only any, skipped") << QStringList{"0.0.0.0"} << true << "";
}

void TestNet::firstIPv4()
{
    QFETCH(QStringList, found);
    QFETCH(bool, skipAny);
    QFETCH(QString, expected);
    QList<QHostAddress> addresses;
    for (const QString &text : found)
        addresses << QHostAddress(text);
    QHostInfo info;
    info.setAddresses(addresses);
    const std::optional<in_addr> address = kc::net::firstIPv4(info, skipAny);
    QCOMPARE(address ? QHostAddress(ntohl(address->s_addr)).toString() : QString(), expected);
}

void TestNet::lookupGivenUpNeverReports_data()
{
    QTest::addColumn<bool>("abortFirst");
    QTest::addColumn<QString>("name");
    QTest::newRow("aborted") << true << "localhost";
    QTest::newRow("replaced by the next") << false << "localhost";
    QTest::newRow("address, aborted") << true << "127.0.0.1";
    QTest::newRow("address, replaced by the next") << false << "127.0.0.1";
}

// The second look-up of a name is answered from Qt's cache, and an address
// is answered without any look-up: either answer is already queued when the
// look-up is aborted, and only the object can drop it.
void TestNet::lookupGivenUpNeverReports()
{
    QFETCH(bool, abortFirst);
    QFETCH(QString, name);
    QObject context;
    kc::net::HostLookup lookup;
    int warm = 0;
    lookup.start(name, &context, [&](const QHostInfo &) { ++warm; });
    QTRY_COMPARE(warm, 1);
    QVERIFY(!lookup.running());

    QStringList reports;
    lookup.start(name, &context, [&](const QHostInfo &) { reports << "given up"; });
    QVERIFY(lookup.running());
    if (abortFirst)
        lookup.abort();
    lookup.start(name, &context, [&](const QHostInfo &info) {
        const auto found = info.addresses();
        const bool loopback = std::any_of(found.begin(), found.end(), [](const QHostAddress &a) { return a.isLoopback(); });
        reports << (loopback ? "loopback" : "elsewhere");
    });
    QTRY_VERIFY(!reports.isEmpty());
    QCoreApplication::processEvents();
    QCOMPARE(reports, QStringList{"loopback"});
    QVERIFY(!lookup.running());
}

void TestNet::fingerprintForms_data()
{
    QTest::addColumn<QByteArray>("fingerprint");
    QTest::addColumn<QString>("shortForm");
    QTest::addColumn<QString>("hexStart");

    QTest::newRow("zeros") << QByteArray(32, '\0') << "00000 00000 00000 00000" << "00:00:00";
    // 2^80 - 1 = 1208925819614629174706175: its last 20 digits
    QTest::newRow("80 bits set, the rest ignored") << (QByteArray(10, '\xFF') + QByteArray(22, '\x01'))
                                                   << "25819 61462 91747 06175" << "FF:FF:FF";
    QTest::newRow("one") << (QByteArray(9, '\0') + QByteArray(1, '\x01') + QByteArray(22, '\xAB'))
                         << "00000 00000 00000 00001" << "00:00:00";
    QTest::newRow("too short: nothing to show") << QByteArray(31, '\x01') << "" << "";
}

void TestNet::fingerprintForms()
{
    QFETCH(QByteArray, fingerprint);
    QFETCH(QString, shortForm);
    QFETCH(QString, hexStart);
    const std::string raw = fingerprint.toStdString();
    QCOMPARE(QString::fromStdString(kc::tls::fingerprintShort(raw)), shortForm);
    const std::string hex = kc::tls::fingerprintHex(raw);
    QVERIFY(QString::fromStdString(hex).startsWith(hexStart));
    if (!hex.empty()) {
        QCOMPARE(hex.size(), size_t{95});
        QCOMPARE(kc::tls::fingerprintFromHex(hex), raw);
        QCOMPARE(kc::tls::fingerprintFromHex(QString::fromStdString(hex).toLower().toStdString()), raw);
        QVERIFY(kc::tls::fingerprintFromHex(hex.substr(3)).empty());
    }
}

// Both ends on non-blocking sockets, driven by readiness alone: the client
// sees this run's certificate, bytes pass both ways, a close is seen.
// Many sockets share one epoll set: a handler that drops or switches off
// other watches keeps them from being called, even when they were ready in
// the same pass; unread data calls again on every pass, and a hang-up
// reaches the read handler.
void TestNet::sharedSetHandlesEveryReadyWatchOnce()
{
    constexpr int kPairs = 4;
    int fds[kPairs][2];
    kc::net::NotifierPair watches[kPairs];
    int calls[kPairs] = {};
    int first = -1;
    for (int i = 0; i < kPairs; ++i) {
        QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds[i]), 0);
        watches[i].watch(
            fds[i][0], this,
            [&, i] {
                ++calls[i];
                if (first < 0) {
                    first = i;
                    for (int k = 0; k < kPairs; ++k)
                        if (k != i)
                            k % 2 ? watches[k].drop() : watches[k].setRead(false);
                }
            },
            [] {});
    }
    for (int i = 0; i < kPairs; ++i) {
        watches[i].setRead(true);
        QCOMPARE(::write(fds[i][1], "x", 1), 1);
    }
    QTRY_VERIFY(first >= 0 && calls[first] >= 3);
    for (int i = 0; i < kPairs; ++i)
        QCOMPARE(calls[i] > 0, i == first);
    watches[first].setRead(false);
    const int before = calls[first];
    QTest::qWait(20);
    QCOMPARE(calls[first], before);

    // A hang-up, with nothing left to read.
    const int last = first == kPairs - 1 ? 0 : kPairs - 1;
    watches[last].watch(fds[last][0], this, [&] { ++calls[last]; }, [] {});
    calls[last] = 0;
    ::close(fds[last][1]);
    char drain[8];
    QCOMPARE(::read(fds[last][0], drain, sizeof drain), 1);
    watches[last].setRead(true);
    QTRY_VERIFY(calls[last] > 0);
    for (int i = 0; i < kPairs; ++i) {
        watches[i].drop();
        ::close(fds[i][0]);
        if (i != last)
            ::close(fds[i][1]);
    }
}

void TestNet::sessionOnNonBlockingSockets()
{
    int fds[2];
    QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    kc::tls::Session client(kc::tls::Role::Client, fds[0]);
    kc::tls::Session server(kc::tls::Role::Server, fds[1]);
    const auto drive = [](int fd, auto step) {
        for (int round = 0; round < 100; ++round) {
            const kc::tls::Io io = step();
            if (io != kc::tls::Io::WantRead && io != kc::tls::Io::WantWrite)
                return io;
            pollfd p{fd, short(io == kc::tls::Io::WantRead ? POLLIN : POLLOUT), 0};
            ::poll(&p, 1, 10);
        }
        return kc::tls::Io::Failed;
    };
    int rounds = 0;
    while ((!client.established() || !server.established()) && ++rounds < 100) {
        QVERIFY(client.handshake() != kc::tls::Io::Failed);
        QVERIFY(server.handshake() != kc::tls::Io::Failed);
    }
    QVERIFY(client.established() && server.established());
    QCOMPARE(client.peerFingerprint(), kc::tls::localFingerprint());
    QVERIFY(QString::fromStdString(client.description()).startsWith("TLSv1.3"));

    const std::string line = "$#user:Anna:0#geheim";
    QCOMPARE(client.write(line.data(), line.size()).bytes, line.size());
    char buffer[100];
    kc::tls::Result got{kc::tls::Io::Failed, 0};
    QCOMPARE(drive(fds[1], [&] { got = server.read(buffer, sizeof buffer); return got.io; }), kc::tls::Io::Done);
    QCOMPARE(std::string(buffer, got.bytes), line);

    client.shutdown();
    QCOMPARE(drive(fds[1], [&] { return server.read(buffer, sizeof buffer).io; }), kc::tls::Io::Closed);
    ::close(fds[0]);
    ::close(fds[1]);
}

QTEST_GUILESS_MAIN(TestNet)
#include "test_net.moc"
