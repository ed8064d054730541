// The update checker: reads the release feed over HTTP(S), offers a newer
// release as availableVersion, and with "download automatically" fetches its
// file into the user's download folder and keeps it only when its length
// and Ed25519 signature (over version, file name and file) match. Checks run
// once a day while "check automatically" is on (the first a minute after
// launch) and whenever the user asks. Without a feed address the checker is
// off (isEnabled false: distribution packages bring updates, and the views
// hide it). Owned by the application delegate; main thread only (files are
// hashed and signatures checked on a pool thread, the result comes back queued).
//
// A check ends in exactly one checkFinished, at the latest by its deadline
// (the feed's, then the download's). A failed check (network error, time-out,
// a feed over maxFeedBytes, malformed XML, an item without its signature, a
// redirect to another host, a download over http from an https feed, over
// maxDownloadBytes or the free space, of the wrong length or signature)
// changes no state, and a bad download is deleted. A verified download is
// remembered in the settings and found again after a restart.
#pragma once

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "nerivane/updates/ReleaseFeed.h"
#include "nerivane/updates/ReleaseMessage.h"

class QTemporaryFile;

namespace nerivane {

class Preferences;

class Updater : public QObject {
    Q_OBJECT

public:
    enum class Outcome { upToDate, updateAvailable, failed };
    Q_ENUM(Outcome)

    struct Options {
        // None: the checker is off.
        std::optional<QUrl> feed;
        // Raw 32 bytes; without a valid key nothing is downloaded and the
        // update opens its release notes instead.
        QByteArray publicKey;
        QString currentVersion;
        // Where downloads are kept.
        QString downloadFolder;
        // Silence allowed within a transfer, and the most a whole transfer may take.
        std::chrono::milliseconds transferTimeout{30000};
        std::chrono::milliseconds feedDeadline{60000};
        std::chrono::milliseconds downloadDeadline{3600 * 1000};
        qint64 maxFeedBytes = 1024 * 1024;
        qint64 maxDownloadBytes = qint64{512} * 1024 * 1024;
        std::chrono::milliseconds firstCheckDelay{60000};
        std::chrono::milliseconds checkPeriod{24 * 3600 * 1000};

        // The build's feed (NERIVANE_UPDATE_FEED, or an acceptable
        // NERIVANE_FEED_URL override) and public key, this version, the
        // user's download folder.
        static Options fromBuild();
    };

    static QString upToDateText();
    // Whether a release may be fetched from download for this feed: over
    // https, or over http only from this machine for the loopback override.
    static bool mayDownload(const QUrl& feed, const QUrl& download);

    Updater(Preferences& preferences, Options options, QObject* parent = nullptr);
    ~Updater() override;

    bool isEnabled() const { return options_.feed.has_value(); }
    bool isChecking() const { return reply_ != nullptr || verifying_; }
    // The display version of the newer release on offer.
    std::optional<QString> availableVersion() const { return availableVersion_; }
    // The downloaded, verified file of that release.
    std::optional<QString> verifiedFile() const { return verifiedFile_; }
    // What "update VERSION" opens: the verified file (for the desktop's
    // package installer), else the release notes link; empty without one.
    QUrl updateTarget() const;

    bool automaticallyChecksForUpdates() const;
    void setAutomaticallyChecksForUpdates(bool value);
    bool automaticallyDownloadsUpdates() const;
    void setAutomaticallyDownloadsUpdates(bool value);

    // "Check for Updates…" and "check now": a check whose result is meant to
    // be shown. While a scheduled check runs, it becomes the user's.
    void checkForUpdates();
    // A scheduled check: its result is for the footer, not a message.
    void checkInBackground();

signals:
    void availableVersionChanged();
    void checkingChanged();
    // message: upToDateText(), "nerivane VERSION is available." or the error.
    void checkFinished(nerivane::Updater::Outcome outcome, const QString& message, bool userInitiated);

private:
    void startCheck(bool userInitiated);
    void handleFeedFinished();
    void startDownload(const ReleaseFeed::Item& item);
    // Hashes the file and checks the item's signature on a pool thread; then,
    // on this thread, done gets the digest, none when the file does not match.
    void verifyOffThread(const QString& path, const ReleaseFeed::Item& item,
                         std::function<void(std::optional<ReleaseMessage::Digest>)> done);
    // A verified file of this release kept from this run or an earlier one.
    std::optional<QString> keptFile(const ReleaseFeed::Item& item) const;
    void remember(const ReleaseFeed::Item& item, const QString& path, const ReleaseMessage::Digest& digest);
    void forget();
    void releaseReply();
    void handleDownloadData();
    void handleDownloadFinished();
    void handleRedirected(const QUrl& target);
    void offer(const ReleaseFeed::Item& item, std::optional<QString> file);
    void finish(Outcome outcome, const QString& message);
    QNetworkReply* get(const QUrl& url);
    // The error text for a finished reply, or none when it succeeded.
    std::optional<QString> replyError() const;
    void applySchedule();

    Preferences& preferences_;
    Options options_;
    QNetworkAccessManager network_;
    QTimer firstCheck_;
    QTimer dailyCheck_;
    // The whole transfer in progress must end by then.
    QTimer deadline_;

    std::optional<QString> availableVersion_;
    std::optional<ReleaseFeed::Item> offered_;
    std::optional<QString> verifiedFile_;

    // The transfer in progress, feed or download; at most one.
    QPointer<QNetworkReply> reply_;
    // Where the transfer in progress was last sent: redirects must stay on its host.
    QUrl replyURL_;
    bool userInitiated_ = false;
    bool verifying_ = false;
    // Set when we abort a reply ourselves, saying why.
    std::optional<QString> abortReason_;
    QByteArray feedData_;
    std::optional<ReleaseFeed::Item> downloading_;
    std::unique_ptr<QTemporaryFile> download_;
    qint64 downloaded_ = 0;
};

}  // namespace nerivane
