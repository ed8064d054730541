#include "nerivane/updates/Updater.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFuture>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPromise>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QTemporaryFile>
#include <QThreadPool>

#include "NerivaneKit/platform/Log.h"
#include "nerivane/core/Preferences.h"
#include "nerivane/updates/FeedOverride.h"
#include "nerivane/updates/Signature.h"
#include "nerivane/updates/Version.h"

#ifndef NERIVANE_UPDATE_FEED
#define NERIVANE_UPDATE_FEED ""
#endif
#ifndef NERIVANE_UPDATE_PUBLIC_KEY
#define NERIVANE_UPDATE_PUBLIC_KEY ""
#endif

namespace nerivane {
namespace {

constexpr int maxRedirects = 5;
// Bounds what Qt buffers ahead of our reads, so a huge answer cannot fill memory.
constexpr qint64 readBufferBytes = 256 * 1024;
// Room left on the download folder's file system beyond the file itself.
constexpr qint64 spareBytes = 64 * 1024 * 1024;
const QString keptVersionKey = QStringLiteral("downloadedUpdate/version");
const QString keptPathKey = QStringLiteral("downloadedUpdate/path");
const QString keptDigestKey = QStringLiteral("downloadedUpdate/sha256");

bool isLoopback(const QUrl& url) {
    const QString host = url.host();
    return host == QLatin1String("localhost") || host == QLatin1String("127.0.0.1") || host == QLatin1String("::1");
}

// A name in the folder for the file that does not overwrite anything there.
QString freePath(const QString& folder, const QString& fileName) {
    const QDir dir(folder);
    QString path = dir.filePath(fileName);
    const QFileInfo info(fileName);
    const QString base = info.completeBaseName();
    const QString suffix = info.suffix().isEmpty() ? QString() : u'.' + info.suffix();
    for (int n = 2; QFileInfo::exists(path); ++n) path = dir.filePath(QStringLiteral("%1 (%2)%3").arg(base).arg(n).arg(suffix));
    return path;
}

// Feed text made fit to be a file name in the download folder: no path
// separators, no "..", no leading dot, no control or direction characters.
QString safeFileName(const QString& text) {
    QString name;
    for (const QChar c : text) {
        const auto category = c.category();
        const bool unfit = c == u'/' || c == u'\\' || category == QChar::Other_Control || category == QChar::Other_Format ||
                           category == QChar::Separator_Line || category == QChar::Separator_Paragraph;
        name += unfit ? u'_' : c;
    }
    while (name.contains(QLatin1String(".."))) name.replace(QLatin1String(".."), QLatin1String("."));
    while (name.startsWith(u'.') || name.startsWith(u' ')) name.remove(0, 1);
    return name.left(200).trimmed();
}

QString savedName(const ReleaseFeed::Item& item) {
    QString name = safeFileName(item.publishedName());
    if (name.isEmpty()) name = safeFileName(QStringLiteral("nerivane-") + item.version);
    return name;
}

QByteArray hex(const ReleaseMessage::Digest& digest) {
    return QByteArray(reinterpret_cast<const char*>(digest.data()), static_cast<qsizetype>(digest.size())).toHex();
}

}  // namespace

Updater::Options Updater::Options::fromBuild() {
    Options options;
    const QString override = qEnvironmentVariable("NERIVANE_FEED_URL");
    options.feed = FeedOverride::choose(override.isEmpty() ? std::nullopt : std::optional<QString>(override),
                                        QStringLiteral(NERIVANE_UPDATE_FEED));
    options.publicKey = QByteArray::fromBase64(QByteArrayLiteral(NERIVANE_UPDATE_PUBLIC_KEY));
    if (options.feed && static_cast<std::size_t>(options.publicKey.size()) != Signature::publicKeyBytes) {
        Log("app").error("no update signing key in this build: updates open their release notes");
        options.publicKey.clear();
    }
    options.currentVersion = QStringLiteral(NERIVANE_VERSION);
    options.downloadFolder = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    if (options.downloadFolder.isEmpty()) options.downloadFolder = QDir::homePath();
    return options;
}

QString Updater::upToDateText() {
    return tr("You're up to date.");
}

bool Updater::mayDownload(const QUrl& feed, const QUrl& download) {
    if (download.scheme() == QLatin1String("https")) return true;
    return download.scheme() == QLatin1String("http") && feed.scheme() == QLatin1String("http") && isLoopback(feed) &&
           isLoopback(download);
}

Updater::Updater(Preferences& preferences, Options options, QObject* parent)
    : QObject(parent), preferences_(preferences), options_(std::move(options)) {
    // The loopback override must reach this machine whatever proxy the session names.
    if (options_.feed && isLoopback(*options_.feed)) network_.setProxy(QNetworkProxy::NoProxy);
    network_.setRedirectPolicy(QNetworkRequest::UserVerifiedRedirectPolicy);

    firstCheck_.setSingleShot(true);
    firstCheck_.setInterval(options_.firstCheckDelay);
    dailyCheck_.setInterval(options_.checkPeriod);
    connect(&firstCheck_, &QTimer::timeout, this, [this] {
        dailyCheck_.start();
        checkInBackground();
    });
    connect(&dailyCheck_, &QTimer::timeout, this, &Updater::checkInBackground);
    // A server that trickles bytes resets every transfer time-out; this one it cannot.
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, [this] {
        if (!reply_) return;
        abortReason_ = tr("The update server took too long.");
        reply_->abort();
    });
    connect(&preferences_, &Preferences::automaticallyChecksForUpdatesChanged, this, &Updater::applySchedule);
    applySchedule();
}

Updater::~Updater() {
    if (reply_) {
        reply_->disconnect(this);
        reply_->abort();
    }
}

QUrl Updater::updateTarget() const {
    if (verifiedFile_) return QUrl::fromLocalFile(*verifiedFile_);
    if (offered_) return offered_->releaseNotes;
    return QUrl();
}

bool Updater::automaticallyChecksForUpdates() const {
    return preferences_.automaticallyChecksForUpdates();
}

void Updater::setAutomaticallyChecksForUpdates(bool value) {
    preferences_.setAutomaticallyChecksForUpdates(value);
}

bool Updater::automaticallyDownloadsUpdates() const {
    return preferences_.automaticallyDownloadsUpdates();
}

void Updater::setAutomaticallyDownloadsUpdates(bool value) {
    preferences_.setAutomaticallyDownloadsUpdates(value);
}

void Updater::applySchedule() {
    if (isEnabled() && automaticallyChecksForUpdates()) {
        if (!firstCheck_.isActive() && !dailyCheck_.isActive()) firstCheck_.start();
    } else {
        firstCheck_.stop();
        dailyCheck_.stop();
    }
}

void Updater::checkForUpdates() {
    startCheck(true);
}

void Updater::checkInBackground() {
    startCheck(false);
}

void Updater::startCheck(bool userInitiated) {
    if (!isEnabled()) return;
    if (isChecking()) {
        userInitiated_ = userInitiated_ || userInitiated;
        return;
    }
    userInitiated_ = userInitiated;
    abortReason_.reset();
    feedData_.clear();
    reply_ = get(*options_.feed);
    connect(reply_, &QNetworkReply::readyRead, this, [this] {
        feedData_ += reply_->readAll();
        if (feedData_.size() > options_.maxFeedBytes) {
            abortReason_ = tr("The update feed is too large.");
            reply_->abort();
        }
    });
    connect(reply_, &QNetworkReply::finished, this, &Updater::handleFeedFinished);
    deadline_.start(options_.feedDeadline);
    emit checkingChanged();
}

QNetworkReply* Updater::get(const QUrl& url) {
    QNetworkRequest request(url);
    request.setTransferTimeout(static_cast<int>(options_.transferTimeout.count()));
    request.setMaximumRedirectsAllowed(maxRedirects);
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("nerivane/") + options_.currentVersion);
    replyURL_ = url;
    QNetworkReply* reply = network_.get(request);
    reply->setReadBufferSize(readBufferBytes);
    connect(reply, &QNetworkReply::redirected, this, &Updater::handleRedirected);
    return reply;
}

void Updater::handleRedirected(const QUrl& target) {
    const QUrl& from = replyURL_;
    const int defaultPort = from.scheme() == QLatin1String("https") ? 443 : 80;
    if (target.scheme() == from.scheme() && target.host() == from.host() &&
        target.port(defaultPort) == from.port(defaultPort)) {
        replyURL_ = target;
        emit reply_->redirectAllowed();
        return;
    }
    abortReason_ = tr("The update server redirected to another host.");
    Log("app").error("update redirect refused: " + target.toString().toStdString());
    reply_->abort();
}

std::optional<QString> Updater::replyError() const {
    if (abortReason_) return abortReason_;
    switch (reply_->error()) {
    case QNetworkReply::NoError: {
        // A redirect that was not followed ends without an error of its own.
        const int status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status >= 200 && status < 300) return std::nullopt;
        return tr("The update server answered with status %1.").arg(status);
    }
    // A transfer time-out cancels the reply; we cancel nothing without a reason.
    case QNetworkReply::OperationCanceledError:
    case QNetworkReply::TimeoutError: return tr("The update server did not answer in time.");
    default: return tr("The update server could not be reached: %1").arg(reply_->errorString());
    }
}

void Updater::handleFeedFinished() {
    if (reply_->isOpen()) feedData_ += reply_->readAll();
    if (auto error = replyError()) return finish(Outcome::failed, *error);
    if (feedData_.size() > options_.maxFeedBytes) return finish(Outcome::failed, tr("The update feed is too large."));

    auto parsed = ReleaseFeed::parse(feedData_);
    feedData_.clear();
    if (auto* reason = std::get_if<QString>(&parsed)) {
        return finish(Outcome::failed, tr("The update feed is not valid: %1").arg(*reason));
    }
    const std::optional<ReleaseFeed::Item> newest = std::get<ReleaseFeed>(parsed).newest();
    // Nothing older than or equal to the running version is offered, signed or not.
    if (!newest || Version::compare(newest->version, options_.currentVersion) <= 0) {
        const bool changed = availableVersion_.has_value();
        availableVersion_.reset();
        offered_.reset();
        verifiedFile_.reset();
        forget();
        if (changed) emit availableVersionChanged();
        return finish(Outcome::upToDate, upToDateText());
    }
    const bool canVerify = static_cast<std::size_t>(options_.publicKey.size()) == Signature::publicKeyBytes;
    if (!automaticallyDownloadsUpdates() || !canVerify) {
        offer(*newest, std::nullopt);
        return finish(Outcome::updateAvailable, tr("nerivane %1 is available.").arg(newest->shortVersion));
    }
    if (!mayDownload(*options_.feed, newest->download)) {
        return finish(Outcome::failed, tr("The update's download is not offered over https."));
    }
    if (newest->length > options_.maxDownloadBytes) return finish(Outcome::failed, tr("The update is too large to download."));
    releaseReply();
    // A file fetched and verified earlier for this very release is kept, not fetched again.
    if (const auto kept = keptFile(*newest)) {
        const ReleaseFeed::Item item = *newest;
        const QString path = *kept;
        const QByteArray digestText = preferences_.defaults().value(keptPathKey).toString() == path
                                          ? preferences_.defaults().value(keptDigestKey).toByteArray()
                                          : QByteArray();
        return verifyOffThread(path, item, [this, item, path, digestText](std::optional<ReleaseMessage::Digest> digest) {
            if (digest && (digestText.isEmpty() || hex(*digest) == digestText)) {
                offer(item, path);
                return finish(Outcome::updateAvailable, tr("nerivane %1 is available.").arg(item.shortVersion));
            }
            forget();
            startDownload(item);
        });
    }
    startDownload(*newest);
}

void Updater::releaseReply() {
    deadline_.stop();
    if (!reply_) return;
    reply_->disconnect(this);
    reply_->deleteLater();
    reply_ = nullptr;
}

std::optional<QString> Updater::keptFile(const ReleaseFeed::Item& item) const {
    const QSettings& store = preferences_.defaults();
    if (store.value(keptVersionKey).toString() == item.version) {
        const QString path = store.value(keptPathKey).toString();
        if (!path.isEmpty() && QFileInfo(path).isFile()) return path;
    }
    if (offered_ && offered_->version == item.version && verifiedFile_) return verifiedFile_;
    return std::nullopt;
}

void Updater::remember(const ReleaseFeed::Item& item, const QString& path, const ReleaseMessage::Digest& digest) {
    QSettings& store = preferences_.defaults();
    store.setValue(keptVersionKey, item.version);
    store.setValue(keptPathKey, path);
    store.setValue(keptDigestKey, QString::fromLatin1(hex(digest)));
    store.sync();
}

void Updater::forget() {
    QSettings& store = preferences_.defaults();
    if (!store.contains(keptVersionKey)) return;
    for (const QString& key : {keptVersionKey, keptPathKey, keptDigestKey}) store.remove(key);
    store.sync();
}

void Updater::verifyOffThread(const QString& path, const ReleaseFeed::Item& item,
                              std::function<void(std::optional<ReleaseMessage::Digest>)> done) {
    using Result = std::optional<ReleaseMessage::Digest>;
    auto promise = std::make_shared<QPromise<Result>>();
    QFuture<Result> future = promise->future();
    verifying_ = true;
    // Reading and hashing up to maxDownloadBytes must not stall the tray.
    QThreadPool::globalInstance()->start([promise, path, item, key = options_.publicKey] {
        promise->start();
        Result digest = Signature::fileDigest(path, item.length);
        if (digest && !Signature::verifyRelease(item.version, item.publishedName(), *digest, item.signature, key)) {
            digest.reset();
        }
        promise->addResult(digest);
        promise->finish();
    });
    // Dropped with this object when it goes first.
    future.then(this, [this, done = std::move(done)](Result digest) {
        verifying_ = false;
        done(digest);
    });
}

void Updater::startDownload(const ReleaseFeed::Item& item) {
    abortReason_.reset();
    downloading_ = item;
    downloaded_ = 0;
    QDir().mkpath(options_.downloadFolder);
    const QStorageInfo storage(options_.downloadFolder);
    if (storage.isValid() && storage.bytesAvailable() >= 0 && storage.bytesAvailable() < item.length + spareBytes) {
        return finish(Outcome::failed, tr("There is not enough free space in %1 for the update.").arg(options_.downloadFolder));
    }
    download_ = std::make_unique<QTemporaryFile>(QDir(options_.downloadFolder).filePath(QStringLiteral("nerivane-download-XXXXXX.part")));
    if (!download_->open()) {
        const QString reason = download_->errorString();
        download_.reset();
        return finish(Outcome::failed, tr("The update could not be saved: %1").arg(reason));
    }
    reply_ = get(item.download);
    connect(reply_, &QNetworkReply::readyRead, this, &Updater::handleDownloadData);
    connect(reply_, &QNetworkReply::finished, this, &Updater::handleDownloadFinished);
    deadline_.start(options_.downloadDeadline);
}

void Updater::handleDownloadData() {
    if (abortReason_ || !reply_->isOpen()) return;
    const QByteArray data = reply_->readAll();
    downloaded_ += data.size();
    if (downloaded_ > downloading_->length) {
        abortReason_ = tr("The download does not have its published length.");
        reply_->abort();
        return;
    }
    if (download_->write(data) != data.size()) {
        abortReason_ = tr("The update could not be saved: %1").arg(download_->errorString());
        reply_->abort();
    }
}

void Updater::handleDownloadFinished() {
    handleDownloadData();
    // The temporary file removes itself unless it is kept below.
    std::shared_ptr<QTemporaryFile> file = std::move(download_);
    const ReleaseFeed::Item item = *std::exchange(downloading_, std::nullopt);
    if (auto error = replyError()) return finish(Outcome::failed, *error);
    if (downloaded_ != item.length) return finish(Outcome::failed, tr("The download does not have its published length."));
    if (!file->flush()) return finish(Outcome::failed, tr("The update could not be saved: %1").arg(file->errorString()));
    releaseReply();
    verifyOffThread(file->fileName(), item, [this, file, item](std::optional<ReleaseMessage::Digest> digest) {
        if (!digest) {
            Log("app").error("update download refused: bad signature for " + item.download.toString().toStdString());
            return finish(Outcome::failed, tr("The download's signature is not valid."));
        }
        const QString path = freePath(options_.downloadFolder, savedName(item));
        if (!file->rename(path)) {
            return finish(Outcome::failed, tr("The update could not be saved: %1").arg(file->errorString()));
        }
        file->setAutoRemove(false);
        remember(item, path, *digest);
        offer(item, path);
        finish(Outcome::updateAvailable, tr("nerivane %1 is available.").arg(item.shortVersion));
    });
}

void Updater::offer(const ReleaseFeed::Item& item, std::optional<QString> file) {
    const bool changed = availableVersion_ != item.shortVersion;
    availableVersion_ = item.shortVersion;
    offered_ = item;
    verifiedFile_ = std::move(file);
    if (changed) emit availableVersionChanged();
}

void Updater::finish(Outcome outcome, const QString& message) {
    if (outcome == Outcome::failed) Log("app").error("update check: " + message.toStdString());
    releaseReply();
    download_.reset();
    downloading_.reset();
    abortReason_.reset();
    const bool user = std::exchange(userInitiated_, false);
    emit checkingChanged();
    emit checkFinished(outcome, message, user);
}

}  // namespace nerivane
