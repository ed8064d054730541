#include <gtest/gtest.h>
#include <sodium.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <memory>
#include <vector>

#include "support/qt/LoopbackServer.h"
#include "nerivane/core/Preferences.h"
#include "support/qt/QtSupport.h"
#include "nerivane/updates/FeedOverride.h"
#include "nerivane/updates/Updater.h"

namespace nerivane {
namespace {

TEST(FeedOverride, OnlyHttpOnLoopbackWithAPortAndNoUserInfo) {
    for (const auto& [text, accepted] : std::vector<std::pair<const char*, bool>>{
             {"http://localhost:8080/feed.xml", true}, {"http://127.0.0.1:8080/feed.xml", true},
             {"http://[::1]:8080/feed.xml", true}, {"http://localhost:1@evil.example/feed", false},
             {"http://127.0.0.1:80.evil.example/", false}, {"http://user:pw@localhost:8080/feed", false},
             {"http://localhost/feed.xml", false}, {"https://localhost:8443/feed.xml", false},
             {"http://example.com:8080/feed.xml", false}, {"http://127.0.0.2:8080/feed.xml", false},
             {"ftp://localhost:21/feed.xml", false}, {"", false}}) {
        SCOPED_TRACE(text);
        const auto url = FeedOverride::parse(QString::fromUtf8(text));
        EXPECT_EQ(url.has_value(), accepted);
        EXPECT_TRUE(!url || QStringList({"localhost", "127.0.0.1", "::1"}).contains(url->host()));
    }
    // A refused override falls back to the built-in feed, which must be https.
    const QString builtIn = QStringLiteral("https://updates.nerivane.invalid/feed.xml");
    EXPECT_EQ(FeedOverride::choose(QStringLiteral("http://localhost:1@evil.example/"), builtIn), QUrl(builtIn));
    EXPECT_EQ(FeedOverride::choose(QStringLiteral("http://localhost:9/f"), builtIn), QUrl("http://localhost:9/f"));
    EXPECT_EQ(FeedOverride::choose(std::nullopt, QStringLiteral("http://plain.invalid/feed.xml")), std::nullopt);
    // Downloads: https, or plain http only from this machine for the loopback
    // override (http elsewhere from a loopback feed: HttpEnclosureElsewhere).
    for (const auto& [feedURL, download, allowed] : std::vector<std::tuple<const char*, const char*, bool>>{
             {"https://updates.nerivane.invalid/feed.xml", "https://cdn.nerivane.invalid/n.deb", true},
             {"https://updates.nerivane.invalid/feed.xml", "http://updates.nerivane.invalid/n.deb", false},
             {"https://updates.nerivane.invalid/feed.xml", "http://127.0.0.1:8080/n.deb", false},
             {"http://127.0.0.1:8080/feed.xml", "http://localhost:8080/n.deb", true},
             {"http://127.0.0.1:8080/feed.xml", "ftp://127.0.0.1:21/n.deb", false}}) {
        EXPECT_EQ(Updater::mayDownload(QUrl(feedURL), QUrl(download)), allowed) << feedURL << " " << download;
    }
}

struct KeyPair {
    QByteArray publicKey{crypto_sign_PUBLICKEYBYTES, 0}, secretKey{crypto_sign_SECRETKEYBYTES, 0};
    KeyPair() {
        EXPECT_GE(sodium_init(), 0);
        crypto_sign_keypair(reinterpret_cast<unsigned char*>(publicKey.data()), reinterpret_cast<unsigned char*>(secretKey.data()));
    }
    // What a release is signed as: a fixed prefix, the version, the enclosure's
    // file name and the file's SHA-256, NUL between them.
    QByteArray signRelease(const QString& version, const QString& name, const QByteArray& file) const {
        QByteArray digest(crypto_hash_sha256_BYTES, 0);
        crypto_hash_sha256(reinterpret_cast<unsigned char*>(digest.data()), reinterpret_cast<const unsigned char*>(file.constData()), file.size());
        return sign(QByteArray("nerivane release signature 1") + '\0' + version.toUtf8() + '\0' + name.toUtf8() + '\0' + digest);
    }
    QByteArray sign(const QByteArray& data) const {
        QByteArray signature(crypto_sign_BYTES, 0);
        crypto_sign_detached(reinterpret_cast<unsigned char*>(signature.data()), nullptr, reinterpret_cast<const unsigned char*>(data.constData()),
                             data.size(), reinterpret_cast<const unsigned char*>(secretKey.constData()));
        return signature;
    }
};

struct Release {
    QString version;
    QUrl download;
    qint64 length = 0;
    QByteArray signature;
};

QByteArray feed(const std::vector<Release>& releases) {
    QByteArray xml = R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:nerivane="urn:nerivane:release"><channel><title>nerivane</title>)";
    for (const Release& r : releases) {
        xml += "<item><title>nerivane " + r.version.toUtf8() + "</title><nerivane:version>" + r.version.toUtf8() +
               "</nerivane:version><nerivane:releaseNotesLink>http://127.0.0.1:9/notes/" + r.version.toUtf8() +
               "</nerivane:releaseNotesLink><enclosure url=\"" + r.download.toEncoded() + "\" length=\"" +
               QByteArray::number(r.length) + "\" type=\"application/vnd.debian.binary-package\"";
        if (!r.signature.isNull()) xml += " nerivane:signature=\"" + r.signature.toBase64() + "\"";
        xml += "/></item>";
    }
    return xml + "</channel></rss>\n";
}

struct Finished {
    Updater::Outcome outcome;
    QString message;
    bool userInitiated;
};

class UpdaterTest : public ::testing::Test {
public:  // the hostile table's set-up functions use the helpers too
    void SetUp() override {
        ASSERT_TRUE(server.isListening());
        preferences = std::make_unique<Preferences>(directory.filePath(QStringLiteral("nerivane.conf")));
        preferences->setAutomaticallyChecksForUpdates(false);
        server.serve(QStringLiteral("/nerivane_1.10.deb"), test::LoopbackServer::ok(package));
    }

    std::unique_ptr<Updater> makeUpdater(Updater::Options options = {}) {
        options.feed = server.url(QStringLiteral("/feed.xml"));
        options.publicKey = keys.publicKey;
        options.currentVersion = QStringLiteral("1.9");
        options.downloadFolder = directory.filePath(QStringLiteral("Downloads"));
        // Long enough for a loaded machine, short enough for the two silent servers.
        options.transferTimeout = std::chrono::milliseconds(2000);
        // Short, so the dripping servers end their checks within seconds.
        options.feedDeadline = options.downloadDeadline = std::chrono::milliseconds(3000);
        auto updater = std::make_unique<Updater>(*preferences, options);
        QObject::connect(updater.get(), &Updater::checkFinished, [this](Updater::Outcome outcome, const QString& message, bool user) {
            results.push_back({outcome, message, user});
        });
        return updater;
    }

    // Runs one user check to its end and returns how it ended.
    Finished check(Updater& updater) {
        const std::size_t before = results.size();
        updater.checkForUpdates();
        EXPECT_TRUE(test::waitUntil([&] { return results.size() > before; }));
        EXPECT_FALSE(updater.isChecking());
        return results.size() > before ? results.back() : Finished{Updater::Outcome::failed, "no end", false};
    }

    void serveFeed(const std::vector<Release>& releases) {
        server.serve(QStringLiteral("/feed.xml"), test::LoopbackServer::ok(feed(releases)));
    }
    Release good(const QString& version = QStringLiteral("1.10")) const {
        return {version, server.url(QStringLiteral("/nerivane_1.10.deb")), package.size(),
                keys.signRelease(version, QStringLiteral("nerivane_1.10.deb"), package)};
    }
    QStringList downloads() const {
        return QDir(directory.filePath(QStringLiteral("Downloads"))).entryList(QDir::Files | QDir::Hidden);
    }

    // First: sockets need the application's event dispatcher.
    QCoreApplication& application = test::application();
    QTemporaryDir directory;
    test::LoopbackServer server;
    KeyPair keys;
    const QByteArray package = QByteArray("!<arch>\n") + QByteArray(3000, 'p');
    std::unique_ptr<Preferences> preferences;
    std::vector<Finished> results;
};

// 1.10 is newer than 1.9: versions compare part by part, as numbers.
TEST_F(UpdaterTest, NewerIsOfferedASignedDownloadIsKeptAndAPulledReleaseIsNot) {
    auto updater = makeUpdater();
    serveFeed({good(QStringLiteral("1.8")), good(QStringLiteral("1.10"))});
    EXPECT_EQ(check(*updater).outcome, Updater::Outcome::updateAvailable);
    // Without a downloaded file the footer opens the release notes.
    EXPECT_EQ(updater->updateTarget(), QUrl("http://127.0.0.1:9/notes/1.10"));
    EXPECT_TRUE(downloads().isEmpty());

    updater->setAutomaticallyDownloadsUpdates(true);
    // The feed moved; a redirect on the same host is followed.
    server.serve(QStringLiteral("/feed.xml"), test::LoopbackServer::redirect(server.url(QStringLiteral("/v2.xml"))));
    server.serve(QStringLiteral("/v2.xml"), test::LoopbackServer::ok(feed({good()})));
    EXPECT_EQ(check(*updater).outcome, Updater::Outcome::updateAvailable);
    EXPECT_EQ(downloads(), QStringList{QStringLiteral("nerivane_1.10.deb")});
    EXPECT_EQ(test::fileBytes(updater->verifiedFile().value_or(QString())), package);
    EXPECT_EQ(updater->updateTarget(), QUrl::fromLocalFile(updater->verifiedFile().value_or(QString())));

    serveFeed({good(QStringLiteral("1.8")), good(QStringLiteral("1.9"))});
    const Finished pulled = check(*updater);
    EXPECT_EQ(std::tuple(pulled.outcome, pulled.message, pulled.userInitiated), std::tuple(Updater::Outcome::upToDate, QStringLiteral("You're up to date."), true));
    EXPECT_EQ(updater->availableVersion(), std::nullopt);
}

struct HostileCase {
    const char* name;
    // Sets the server up for the second check.
    std::function<void(UpdaterTest&, test::LoopbackServer&)> arrange;
    const char* message;
};

// Failures and test lists show a case by its name.
void PrintTo(const HostileCase& row, std::ostream* os) { *os << row.name; }

class HostileServer : public UpdaterTest, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(HostileServer, EndsTheCheckWithAnErrorAndChangesNothing) {
    auto updater = makeUpdater();
    serveFeed({good()});
    ASSERT_EQ(check(*updater).outcome, Updater::Outcome::updateAvailable);
    const QUrl target = updater->updateTarget();

    updater->setAutomaticallyDownloadsUpdates(true);
    GetParam().arrange(*this, server);
    const Finished end = check(*updater);
    EXPECT_EQ(end.outcome, Updater::Outcome::failed);
    EXPECT_TRUE(end.message.contains(QString::fromUtf8(GetParam().message))) << end.message.toStdString();
    EXPECT_EQ(std::tuple(updater->availableVersion(), updater->updateTarget(), updater->verifiedFile()),
              std::tuple(std::optional(QStringLiteral("1.10")), target, std::optional<QString>()));
    EXPECT_TRUE(downloads().isEmpty()) << downloads().join(u' ').toStdString();
}

using S = test::LoopbackServer;
using U = UpdaterTest;

Release with(U& t, const std::function<void(Release&)>& spoil) {
    Release release = t.good();
    spoil(release);
    return release;
}
QByteArray oversized(U& t) {
    QByteArray big = feed({t.good()});
    return big.insert(big.indexOf("<channel>"), "<!--" + QByteArray(1100 * 1024, 'x') + "-->");
}

// A feed ReleaseFeed refuses (an unsigned item among signed ones, say) ends
// the check as MalformedXML does.
INSTANTIATE_TEST_SUITE_P(Table, HostileServer, ::testing::Values(
    HostileCase{"FeedOverOneMegabyte", [](U& t, S& s) { s.serve("/feed.xml", S::ok(oversized(t))); }, "too large"},
    HostileCase{"MalformedXML", [](U&, S& s) { s.serve("/feed.xml", S::ok("<rss><channel><item>")); }, "not valid"},
    HostileCase{"RedirectToAnotherHost", [](U&, S& s) { s.serve("/feed.xml", S::redirect(QUrl(QStringLiteral("http://localhost:%1/feed.xml").arg(s.port())))); }, "redirected to another host"},
    HostileCase{"DownloadLongerThanPublished", [](U& t, S&) { t.serveFeed({with(t, [](Release& r) { r.length -= 1; })}); }, "published length"},
    HostileCase{"TamperedDownload", [](U& t, S& s) { s.serve("/nerivane_1.10.deb", S::ok(QByteArray(t.package).replace(100, 1, "q"))), t.serveFeed({t.good()}); }, "signature is not valid"},
    HostileCase{"ServerNeverAnswers", [](U&, S& s) { s.hang("/feed.xml"); }, "did not answer in time"},
    HostileCase{"DownloadNeverAnswers", [](U& t, S& s) { t.serveFeed({t.good()}), s.hang("/nerivane_1.10.deb"); }, "did not answer in time"},
    // A genuine older release re-announced as newer: its signature names its own version.
    HostileCase{"OlderReleaseAnnouncedAsNewer", [](U& t, S&) { t.serveFeed({with(t, [&](Release& r) { r.version = "1.11", r.signature = t.keys.signRelease("1.8", "nerivane_1.10.deb", t.package); })}); }, "signature is not valid"},
    HostileCase{"SignatureOfTheFileAlone", [](U& t, S&) { t.serveFeed({with(t, [&](Release& r) { r.version = "1.11", r.signature = t.keys.sign(t.package); })}); }, "signature is not valid"},
    HostileCase{"EndlessLength", [](U& t, S&) { t.serveFeed({with(t, [](Release& r) { r.length = qint64{1} << 50; })}); }, "too large to download"},
    HostileCase{"FeedDripsForever", [](U&, S& s) { s.drip("/feed.xml", 200); }, "took too long"},
    HostileCase{"DownloadDripsForever", [](U& t, S& s) { t.serveFeed({t.good()}), s.drip("/nerivane_1.10.deb", 200); }, "took too long"},
    // 127.0.0.2 is not the feed's loopback host: refused before any connection.
    HostileCase{"HttpEnclosureElsewhere", [](U& t, S& s) { t.serveFeed({with(t, [&](Release& r) { r.download = QUrl(QStringLiteral("http://127.0.0.2:%1/nerivane_1.10.deb").arg(s.port())); })}); }, "not offered over https"}),
    [](const auto& info) { return std::string(info.param.name); });

// A name made from feed text stays a plain name in the download folder, and
// the verified file is found again by the next run: neither fetched nor copied.
TEST_F(UpdaterTest, FeedNamesAreMadeSafeAndAVerifiedDownloadIsFoundAgainAfterARestart) {
    const QString published = QStringLiteral("../../nerivane\n1.10.deb");
    const QString route = QStringLiteral("/..%2F..%2Fnerivane%0A1.10.deb");
    server.serve(route, test::LoopbackServer::ok(package));
    serveFeed({{QStringLiteral("1.10"), server.url(route), package.size(), keys.signRelease(QStringLiteral("1.10"), published, package)}});
    QString kept;
    {
        auto updater = makeUpdater();
        updater->setAutomaticallyDownloadsUpdates(true);
        ASSERT_EQ(check(*updater).outcome, Updater::Outcome::updateAvailable) << results.back().message.toStdString();
        EXPECT_EQ(downloads(), QStringList{QStringLiteral("_._nerivane_1.10.deb")});
        EXPECT_EQ(QDir(directory.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                  QStringList({QStringLiteral("Downloads"), QStringLiteral("nerivane.conf")}));
        kept = updater->verifiedFile().value_or(QString());
    }
    preferences = std::make_unique<Preferences>(directory.filePath(QStringLiteral("nerivane.conf")));
    auto restarted = makeUpdater();
    EXPECT_EQ(check(*restarted).outcome, Updater::Outcome::updateAvailable);
    EXPECT_EQ(restarted->verifiedFile(), std::optional(kept));
    EXPECT_EQ(downloads(), QStringList{QStringLiteral("_._nerivane_1.10.deb")});
    EXPECT_EQ(server.requests(route), 1);
}

}  // namespace
}  // namespace nerivane
