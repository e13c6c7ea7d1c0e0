#include "platform/updater/StandardUpdater.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <variant>

#include "platform/Application.h"
#include "platform/Bundle.h"
#include "platform/Dispatch.h"
#include "platform/FileManager.h"
#include "platform/Log.h"
#include "platform/URL.h"
#include "platform/URLSession.h"
#include "platform/UserDefaults.h"
#include "platform/updater/ArchiveModule.h"
#include "platform/updater/SHA256.h"
#include "platform/updater/UpdateFeedItem.h"
#include "platform/updater/UpdateInstaller.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

constexpr const char* feedURLKey = "SUFeedURL";
constexpr const char* automaticChecksKey = "SUEnableAutomaticChecks";
constexpr const char* executableName = "Tidemark";
constexpr const char* errorDomain = "Tidemark.Updater";
// Grace beyond a request's own timeout before we stop waiting for its completion.
constexpr double completionGrace = 5;

Error updaterError(std::string description) { return Error{errorDomain, 3, std::move(description)}; }

struct StagedUpdate {
    std::string version;
    std::string displayVersion;
    std::string stagingDirectory;  // removed once the update is in place or dropped
    std::string root;              // the folder that replaces the install folder
};

// The folder to swap in: the staging folder itself, or its only subfolder when the
// archive was made of the folder rather than its contents.
std::optional<std::string> locateInstallRoot(const std::string& stagingDirectory) {
    auto& files = FileManager::defaultManager();
    if (files.isExecutableFile(stagingDirectory + "/" + executableName)) return stagingDirectory;
    std::error_code error;
    std::optional<std::string> only;
    for (const auto& entry : FileManager::directoryEntries(stagingDirectory)) {
        if (only) return std::nullopt;
        if (!fs::is_directory(fs::symlink_status(entry, error))) return std::nullopt;
        only = entry;
    }
    if (only && files.isExecutableFile(*only + "/" + executableName)) return only;
    return std::nullopt;
}

void removeQuietly(const std::string& path) {
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

}  // namespace

struct StandardUpdater::Core : std::enable_shared_from_this<Core> {
    enum class InstallOutcome { nothingStaged, installed, failed };

    StandardUpdaterOptions options;
    std::weak_ptr<UpdaterDelegate> delegate;
    std::shared_ptr<URLSession> session;
    std::string installDirectory;
    std::string parentDirectory;
    std::string stagingPrefix;
    std::atomic<bool> stopped{false};

    mutable std::mutex mutex;  // guards staged and didInstall, and the staging folders
    std::optional<StagedUpdate> staged;
    bool didInstall = false;

    Core(StandardUpdaterOptions givenOptions, std::weak_ptr<UpdaterDelegate> givenDelegate)
        : options(std::move(givenOptions)), delegate(std::move(givenDelegate)) {
        auto configuration = URLSessionConfiguration::ephemeral();
        configuration.requestCachePolicy = CachePolicy::reloadIgnoringLocalCacheData;
        configuration.timeoutIntervalForRequest = options.downloadTimeout;
        session = URLSession::make(configuration);
        std::error_code error;
        const fs::path install = fs::weakly_canonical(options.installDirectory, error);
        installDirectory = (error ? fs::path(options.installDirectory) : install).lexically_normal().string();
        while (installDirectory.size() > 1 && installDirectory.back() == '/') installDirectory.pop_back();
        const fs::path path(installDirectory);
        parentDirectory = path.parent_path().string();
        stagingPrefix = parentDirectory + "/." + path.filename().string() + ".update-";
    }

    UserDefaults& defaults() const { return options.defaults ? *options.defaults : UserDefaults::standard(); }

    void check() {
        if (stopped) return;
        auto outcome = stageLatest();
        if (stopped) return;
        if (const auto* error = std::get_if<Error>(&outcome)) {
            log("[Tidemark] Update check failed: " + error->description);
            return;
        }
        const auto& update = std::get<std::optional<StagedUpdate>>(outcome);
        if (!update) return;
        log("[Tidemark] Update " + update->displayVersion + " is ready to install");
        report(*update);
    }

    // An update newly staged, nothing (no newer version, or it is staged already), or why not.
    std::variant<std::optional<StagedUpdate>, Error> stageLatest() {
        const auto feedURL = URL::parse(options.feedURL);
        if (!feedURL || (feedURL->scheme() != "http" && feedURL->scheme() != "https"))
            return updaterError("The update feed address “" + options.feedURL + "” is not an http or https URL.");
        auto feed = fetch(options.feedURL, options.feedTimeout, "the update feed");
        if (auto* error = std::get_if<Error>(&feed)) return *error;
        auto parsed = UpdateFeedItem::parse(std::get<std::string>(feed));
        if (auto* error = std::get_if<Error>(&parsed)) return *error;
        const auto& item = std::get<UpdateFeedItem>(parsed);

        const auto current = DottedVersion::parse(options.currentVersion);
        if (!current) return updaterError("The running version “" + options.currentVersion + "” is not dotted numbers.");
        if (item.dottedVersion() <= *current) return std::nullopt;
        {
            std::lock_guard lock(mutex);
            if (didInstall) return std::nullopt;
            if (staged && DottedVersion::parse(staged->version) >= item.dottedVersion()) return std::nullopt;
        }
        if (auto error = prepareWritablePlaces()) return *error;
        auto archive = obtainArchive(item);
        if (auto* error = std::get_if<Error>(&archive)) return *error;
        auto unpacked = unpack(item, std::get<std::string>(archive));
        if (auto* error = std::get_if<Error>(&unpacked)) return *error;
        auto update = std::get<StagedUpdate>(unpacked);

        std::lock_guard lock(mutex);
        if (didInstall || stopped) {
            removeQuietly(update.stagingDirectory);
            return std::nullopt;
        }
        if (staged) removeQuietly(staged->stagingDirectory);
        staged = update;
        return update;
    }

    // Every place an update is written to, checked (the cache folder made) before the archive
    // is downloaded: an update that could never be kept or put in place costs no download.
    std::optional<Error> prepareWritablePlaces() {
        if (::access(parentDirectory.c_str(), W_OK) != 0)
            return posixError(errno, "Cannot write to “" + parentDirectory + "”, the folder that holds the application");
        if (auto error = FileManager::defaultManager().createDirectory(options.cacheDirectory)) return error;
        if (::access(options.cacheDirectory.c_str(), W_OK) != 0)
            return posixError(errno, "Cannot write to “" + options.cacheDirectory + "”, the folder for downloaded updates");
        return std::nullopt;
    }

    std::variant<std::string, Error> fetch(const std::string& url, double timeout, const std::string& what) {
        struct Result {
            std::optional<std::string> data;
            std::optional<HTTPURLResponse> response;
            std::optional<Error> error;
        };
        auto result = std::make_shared<Result>();
        auto done = std::make_shared<Semaphore>(0);
        URLRequest request;
        request.url = url;
        request.cachePolicy = CachePolicy::reloadIgnoringLocalCacheData;
        request.timeoutInterval = timeout;
        auto task = session->dataTask(request, [result, done](std::optional<std::string> data,
                                                               std::optional<HTTPURLResponse> response,
                                                               std::optional<Error> error) {
            *result = Result{std::move(data), std::move(response), std::move(error)};
            done->signal();
        });
        task->resume();
        const auto wait = std::chrono::duration_cast<Duration>(std::chrono::duration<double>(timeout + completionGrace));
        if (!done->waitFor(wait)) {
            task->cancel();
            if (!done->waitFor(std::chrono::duration_cast<Duration>(std::chrono::duration<double>(completionGrace))))
                return updaterError("Could not load " + what + ": the request did not finish.");
        }
        if (result->error) return updaterError("Could not load " + what + ": " + result->error->description);
        if (!result->response || result->response->statusCode != 200) {
            const long status = result->response ? result->response->statusCode : 0;
            return updaterError("Could not load " + what + ": the server answered with HTTP status " +
                                std::to_string(status) + ".");
        }
        return result->data.value_or(std::string());
    }

    // The path of a downloaded archive whose digest matches the feed's.
    std::variant<std::string, Error> obtainArchive(const UpdateFeedItem& item) {
        const std::string path = options.cacheDirectory + "/Tidemark-" + item.version + ".tar.gz";
        if (FileManager::defaultManager().fileExists(path) && sha256HexDigestOfFile(path) == item.sha256) return path;

        auto body = fetch(item.url, options.downloadTimeout, "the update archive");
        if (auto* error = std::get_if<Error>(&body)) return *error;
        const auto& bytes = std::get<std::string>(body);
        const std::string digest = sha256HexDigest(bytes);
        if (digest != item.sha256)
            return updaterError("The update archive’s SHA-256 digest " + digest + " does not match the feed’s " +
                                item.sha256 + ".");
        if (auto error = FileManager::writeAtomically(path, bytes)) return *error;

        // Only the newest archive is worth keeping.
        std::error_code ignored;
        for (const auto& entry : FileManager::directoryEntries(options.cacheDirectory)) {
            const std::string name = fs::path(entry).filename().string();
            if (entry != path && name.starts_with("Tidemark-") && name.ends_with(".tar.gz")) fs::remove(entry, ignored);
        }
        return path;
    }

    std::variant<StagedUpdate, Error> unpack(const UpdateFeedItem& item, const std::string& archivePath) {
        removeStaleStagingFolders();
        std::string folder = stagingPrefix + "XXXXXX";
        if (!::mkdtemp(folder.data()))
            return posixError(errno, "Could not create a folder next to “" + installDirectory + "”");
        // mkdtemp makes it private; the installed folder keeps the mode it had.
        struct stat installInfo {};
        if (::stat(installDirectory.c_str(), &installInfo) == 0) ::chmod(folder.c_str(), installInfo.st_mode & 07777);

        if (auto error = extractTarGzWithModule(options.archiveModule, archivePath, folder)) {
            removeQuietly(folder);
            return *error;
        }
        const auto root = locateInstallRoot(folder);
        if (!root) {
            removeQuietly(folder);
            return updaterError("The update archive holds no executable “Tidemark”.");
        }
        return StagedUpdate{item.version, item.displayVersion, folder, *root};
    }

    // Staging folders of earlier runs that never got installed.
    void removeStaleStagingFolders() {
        std::lock_guard lock(mutex);
        const std::string prefix = fs::path(stagingPrefix).filename().string();
        for (const auto& path : FileManager::directoryEntries(parentDirectory)) {
            if (!fs::path(path).filename().string().starts_with(prefix)) continue;
            if (staged && staged->stagingDirectory == path) continue;
            removeQuietly(path);
        }
    }

    void report(const StagedUpdate& update) {
        std::weak_ptr<Core> weakCore = shared_from_this();
        DispatchQueue::main()->async([weakCore, target = delegate, display = update.displayVersion] {
            const auto delegate = target.lock();
            if (!delegate) return;
            delegate->updaterWillInstallUpdateOnQuit(display, [weakCore] {
                if (const auto core = weakCore.lock()) core->installNow();
            });
        });
    }

    void installNow() {
        if (install(/*relaunch=*/true) != InstallOutcome::installed) return;
        if (options.terminate)
            options.terminate();
        else
            Application::shared().terminate();
    }

    InstallOutcome install(bool relaunch) {
        std::lock_guard lock(mutex);
        if (!staged) return InstallOutcome::nothingStaged;
        const StagedUpdate update = *staged;
        staged.reset();
        auto error = swapIn(update, relaunch);
        removeQuietly(update.stagingDirectory);
        if (error) {
            log("[Tidemark] Could not install the update: " + error->description);
            return InstallOutcome::failed;
        }
        didInstall = true;
        log("[Tidemark] Installed update " + update.displayVersion);
        return InstallOutcome::installed;
    }

    // After the exchange the old folder sits at the staged root's path, inside the
    // staging folder, until the new program has started.
    std::optional<Error> swapIn(const StagedUpdate& update, bool relaunch) {
        const std::string executable = installDirectory + "/" + executableName;
        if (!FileManager::defaultManager().isExecutableFile(update.root + "/" + executableName))
            return updaterError("The staged update no longer holds an executable “Tidemark”.");
        if (auto error = UpdateInstaller::exchangeFolders(installDirectory, update.root)) return error;
        if (!relaunch) return std::nullopt;
        auto launchError = options.launch ? options.launch(executable) : UpdateInstaller::launchDetached(executable);
        if (!launchError) return std::nullopt;
        if (auto restoreError = UpdateInstaller::exchangeFolders(installDirectory, update.root))
            return updaterError(launchError->description + "; the previous version could not be put back (" +
                                restoreError->description + ")");
        return launchError;
    }
};

StandardUpdaterOptions StandardUpdaterOptions::forMainBundle() {
    StandardUpdaterOptions options;
    options.feedURL = Bundle::main().stringForInfoKey(feedURLKey).value_or("");
    options.installDirectory = Bundle::main().executableDirectory();
    options.archiveModule = options.installDirectory + "/" + archiveModuleName;
    options.cacheDirectory = cacheHomeDirectory() + "/Tidemark/updates";
    options.currentVersion = TIDEMARK_VERSION;
    return options;
}

StandardUpdater::StandardUpdater(StandardUpdaterOptions options, std::weak_ptr<UpdaterDelegate> delegate)
    : core_(std::make_shared<Core>(std::move(options), std::move(delegate))),
      queue_(DispatchQueue::serial("Tidemark.Updater")) {}

StandardUpdater::~StandardUpdater() {
    core_->stopped = true;
    core_->session->invalidateAndCancel();
}

bool StandardUpdater::automaticallyChecksForUpdates() const {
    auto& defaults = core_->defaults();
    return !defaults.hasKey(automaticChecksKey) || defaults.boolForKey(automaticChecksKey);
}

void StandardUpdater::setAutomaticallyChecksForUpdates(bool value) { core_->defaults().setBool(value, automaticChecksKey); }

void StandardUpdater::checkForUpdatesInBackground() {
    queue_->async([core = core_] { core->check(); });
}

void StandardUpdater::waitForPendingChecks() {
    queue_->sync([] {});
}

void StandardUpdater::installStagedUpdateIfAny() { core_->install(/*relaunch=*/false); }

std::optional<std::string> StandardUpdater::stagedDisplayVersion() const {
    std::lock_guard lock(core_->mutex);
    if (!core_->staged) return std::nullopt;
    return core_->staged->displayVersion;
}

std::shared_ptr<Updater> makeStandardUpdater(std::weak_ptr<UpdaterDelegate> delegate) {
    if (!Bundle::main().infoDictionary().contains(feedURLKey)) return nullptr;
    return std::make_shared<StandardUpdater>(StandardUpdaterOptions::forMainBundle(), std::move(delegate));
}

}  // namespace platform
