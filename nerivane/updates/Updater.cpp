#include "nerivane/updates/Updater.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStandardPaths>
#include <QTemporaryFile>

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

bool fileMatches(const QString& path, const ReleaseFeed::Item& item, const QByteArray& publicKey) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() != item.length) return false;
    if (item.length == 0) return Signature::verify(QByteArray(), item.signature, publicKey);
    const uchar* data = file.map(0, file.size());
    if (!data) return false;
    const bool valid = Signature::verify(data, static_cast<std::size_t>(file.size()), item.signature, publicKey);
    file.unmap(const_cast<uchar*>(data));
    return valid;
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
    if (!newest || Version::compare(newest->version, options_.currentVersion) <= 0) {
        const bool changed = availableVersion_.has_value();
        availableVersion_.reset();
        offered_.reset();
        verifiedFile_.reset();
        if (changed) emit availableVersionChanged();
        return finish(Outcome::upToDate, upToDateText());
    }
    const bool canVerify = static_cast<std::size_t>(options_.publicKey.size()) == Signature::publicKeyBytes;
    if (!automaticallyDownloadsUpdates() || !canVerify) {
        offer(*newest, std::nullopt);
        return finish(Outcome::updateAvailable, tr("nerivane %1 is available.").arg(newest->shortVersion));
    }
    // A file fetched and verified earlier for this very release is kept.
    if (offered_ == newest && verifiedFile_ && fileMatches(*verifiedFile_, *newest, options_.publicKey)) {
        return finish(Outcome::updateAvailable, tr("nerivane %1 is available.").arg(newest->shortVersion));
    }
    startDownload(*newest);
}

void Updater::startDownload(const ReleaseFeed::Item& item) {
    reply_->deleteLater();
    abortReason_.reset();
    downloading_ = item;
    downloaded_ = 0;
    QDir().mkpath(options_.downloadFolder);
    download_ = std::make_unique<QTemporaryFile>(QDir(options_.downloadFolder).filePath(QStringLiteral("nerivane-download-XXXXXX.part")));
    if (!download_->open()) {
        const QString reason = download_->errorString();
        download_.reset();
        reply_ = nullptr;
        return finish(Outcome::failed, tr("The update could not be saved: %1").arg(reason));
    }
    reply_ = get(item.download);
    connect(reply_, &QNetworkReply::readyRead, this, &Updater::handleDownloadData);
    connect(reply_, &QNetworkReply::finished, this, &Updater::handleDownloadFinished);
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
    std::unique_ptr<QTemporaryFile> file = std::move(download_);
    const ReleaseFeed::Item item = *std::exchange(downloading_, std::nullopt);
    if (auto error = replyError()) return finish(Outcome::failed, *error);
    if (downloaded_ != item.length) return finish(Outcome::failed, tr("The download does not have its published length."));
    if (!file->flush() || !fileMatches(file->fileName(), item, options_.publicKey)) {
        Log("app").error("update download refused: bad signature for " + item.download.toString().toStdString());
        return finish(Outcome::failed, tr("The download's signature is not valid."));
    }
    QString name = item.download.fileName();
    if (name.isEmpty() || name.startsWith(u'.')) name = QStringLiteral("nerivane-%1").arg(item.version);
    const QString path = freePath(options_.downloadFolder, name);
    if (!file->rename(path)) {
        return finish(Outcome::failed, tr("The update could not be saved: %1").arg(file->errorString()));
    }
    file->setAutoRemove(false);
    offer(item, path);
    finish(Outcome::updateAvailable, tr("nerivane %1 is available.").arg(item.shortVersion));
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
    if (reply_) {
        reply_->disconnect(this);
        reply_->deleteLater();
        reply_ = nullptr;
    }
    download_.reset();
    downloading_.reset();
    abortReason_.reset();
    const bool user = std::exchange(userInitiated_, false);
    emit checkingChanged();
    emit checkFinished(outcome, message, user);
}

}  // namespace nerivane
