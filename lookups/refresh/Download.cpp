// Replacement of the local GUID database by the control server's copy.
//
// The control server's file comes either from its database folder on this
// machine or, over the network session, through the temporary folder. Before
// it is copied over the local "GUIDDB.DAT" it must prove to be a usable GUID
// database: a truncated or garbage download would otherwise replace a good
// table and break every lookup of the machine until the next successful
// refresh. The copy itself is atomic (temporary file, flush, rename), so a
// reader that takes the named mutex after us sees the old file or the new
// one, never a mix.
//
// The new file replaces the old one through InstallGuidDatabase
// (lookups/refresh/Install.h), as a rebuilt one does.
//
// A row delta goes into a copy of the local file in the staging folder,
// which is then installed the same way: at a million rows the copy, applied
// without a journal and flushed once, costs less than one transaction on
// the live file, whose rollback journal must hold much of the table (rows
// changed at random touch most pages of every index). The delta is checked
// before its first row goes in (its size and SHA-256 against the manifest,
// its releases and the digest it leads to), and every removed row must be
// there.
#include "lookups/refresh/Download.h"

#include <fcntl.h>
#include <gnutls/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "guiddb/GuidDB.h"
#include "guiddb/RowSetDigest.h"
#include "host/FXString.h"
#include "host/Files.h"
#include "host/LogWriter.h"
#include "host/Settings.h"
#include "host/StagedFile.h"
#include "host/net/Network.h"
#include "lookups/FailureLog.h"
#include "lookups/refresh/Install.h"
#include "lookups/refresh/Manifest.h"
#include "lookups/refresh/RowDelta.h"
#include "lookups/refresh/Validator.h"

namespace {

constexpr const char* kTag = "bool CHXGuidLookups::getSqlLiteGUIDDbFromHB()";
constexpr int kNetworkTimeout = 120;
constexpr char kManifestName[] = "manifest.json";
constexpr char kDeltaName[] = "delta.gz";

// A private folder beside the local database, "<cache>/.incoming", where the
// new file is copied, checked and indexed before it is renamed over the local
// one (same file system, so the rename is atomic). Whatever is left in it is
// removed at the end of the scope, on every path.
class Staging {
 public:
  explicit Staging(const std::string& cacheDir) : folder_(cacheDir + "/.incoming") {}
  ~Staging() { Clear(); }
  Staging(const Staging&) = delete;
  Staging& operator=(const Staging&) = delete;

  const std::string& folder() const { return folder_; }
  std::string file() const { return folder_ + "/" GUIDDB_NAME; }
  std::string manifest() const { return folder_ + "/" + kManifestName; }
  std::string delta() const { return folder_ + "/" + kDeltaName; }

  // An empty staging folder (leftovers of an earlier call are removed).
  CLmError Prepare() {
    Clear();
    return CLmDirectory::Create(folder_.c_str(), true);
  }

 private:
  void Clear() {
    ::unlink(manifest().c_str());
    ::unlink(delta().c_str());
    hostfs::RemoveWithSidecars(file());
    ::rmdir(folder_.c_str());
  }

  std::string folder_;
};

// The network session of one transfer: made by Attach, disconnected and
// destroyed at the end of the scope on every path, never throwing from there.
// Belongs to the downloading thread.
class ScopedSession {
 public:
  ScopedSession() = default;
  ~ScopedSession() { End(); }
  ScopedSession(const ScopedSession&) = delete;
  ScopedSession& operator=(const ScopedSession&) = delete;

  // Makes the session and attaches it to the control server at `hostName`
  // on behalf of this machine.
  CLmError Attach(const std::string& hostName, HXPlatformInfo& settings) {
    network_ = std::make_unique<CHxNetwork>();
    hxsExecuteRemoteDllType executables;
    std::strncpy(executables.localExecutable, "sLNDM2REMOTEEXEC",
                 sizeof(executables.localExecutable) - 1);
    std::strncpy(executables.remoteExecutable, "sLPDM2REMOTEEXEC",
                 sizeof(executables.remoteExecutable) - 1);
    executables.options = 0;
    char clientName[256] = {0};
    const char* machine = settings.getPhysicalMachine();
    std::strncpy(clientName, machine ? machine : "", sizeof(clientName) - 1);
    return network_->Attach_RemoteDLL(hostName, &executables, clientName, kNetworkTimeout, flag_);
  }

  // Fetches the file into the destination set on the session, adding the
  // bytes received to `fetched`.
  CLmError Get(uint64_t& fetched) {
    hxsFilexferRequest request;
    flag_ = false;
    CLmError err = network_->PutFileResponse(false, request, nullptr, -1, flag_);
    if (!err.IsError()) fetched += network_->ReceivedBytes();
    return err;
  }

  bool made() const { return network_ != nullptr; }
  // REQUIRES: made().
  CHxNetwork* operator->() { return network_.get(); }

 private:
  void End() noexcept {
    if (!network_) return;
    try {
      network_->Disconnect(kNetworkTimeout, flag_);
    } catch (...) {
    }
    network_.reset();
  }

  std::unique_ptr<CHxNetwork> network_;
  bool flag_ = false;
};

// The file a transfer writes in the temporary folder: nothing reads it after
// the download, so it goes at the end of the scope whatever the result (a
// whole database per agent would otherwise stay there).
class TransferFile {
 public:
  TransferFile() = default;
  ~TransferFile() {
    if (path.empty()) return;
    const int removed = ::unlink(path.c_str());
    const int err = errno;
    if (removed != 0 && err != ENOENT) {
      try {
        HXLOG(-1, kTag, "Could not remove the transferred file [%s]: %s", path.c_str(),
              hostfs::ErrnoText(err).c_str());
      } catch (...) {
      }
    }
  }
  TransferFile(const TransferFile&) = delete;
  TransferFile& operator=(const TransferFile&) = delete;

  std::string path;  // "" while there is none
};

// True when `a` and `b` name one existing file or folder.
bool SameNode(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// One call of DownloadGuidDatabase, in its steps: choose the source, transfer
// (when the control server is elsewhere), verify a copy in the staging
// folder, install it. Each step logs its own failure (its text kept in
// `lastError`) and returns it. What a step made is owned by a member, released
// in reverse order of declaration: the staging folder, then the session, then
// the transferred file.
class GuidDownload {
 public:
  GuidDownload(const std::string& guidCacheDir, std::string& lastError, SGuidFailure& failure,
               const AccessLock* held, SDownloadMoved& moved)
      : guidCacheDir_(guidCacheDir),
        lastError_(lastError),
        failure_(failure),
        held_(held),
        moved_(moved),
        destination_(guidCacheDir + "/" GUIDDB_NAME),
        // The new file is checked in a folder beside the file that
        // GUIDDB.DAT names (a link is kept): the rename then stays on one
        // file system.
        staging_(hostfs::FolderOf(hostfs::ResolveLinks(destination_))) {}

  CLmError Run() {
    CLmError status = ChooseSource();
    if (!status.IsError() && !source_.local) status = Transfer();
    if (status.IsError() || notModified_ || outcome_ == RefreshDelta) return status;
    status = Verify();
    if (status.IsError()) return status;
    return Install();
  }

  GuidRefreshOutcome outcome() const { return outcome_; }

 private:
  // What failed, kept before its line is logged; returns the error to end
  // the download with.
  CLmError Failed(GuidFailureStep step, int32_t code, std::string cause = std::string(),
                  std::string subject = std::string(), std::string target = std::string()) {
    failure_ = {
        step, code, RebuildFailure::None, std::move(subject), std::move(target), std::move(cause)};
    return CLmError(code, lastError_);
  }

  CLmError ChooseSource() {
    if (!settings_.setFocus(HXPI_Focus::getFocus())) {
      HXLOG_FAILURE(lastError_, kTag, " Unable to set focus name");
      return Failed(GuidFailureStep::kInstance, hxerr::kInvalid);
    }
    std::string home;
    if (!settings_.getString(hxsettings::kHome, &home)) {
      HXLOG_FAILURE(lastError_, kTag, " Unable to get Base Temp Directory path");
      return Failed(GuidFailureStep::kNoHome, hxerr::kNotFound);
    }
    source_ = ChooseDownloadSource();
    if (source_.local) HXLOG(2, kTag, "HB is installed. Perform local copy of sqlite db");
    if (source_.folder.empty()) {
      HXLOG_FAILURE(lastError_, kTag, " Unable to get Base Temp Directory path");
      return Failed(GuidFailureStep::kNoSourceFolder, hxerr::kNotFound);
    }
    return CLmError::Success();
  }

  // Fetches the control server's file into the temporary folder, or straight
  // into the staging folder when the temporary folder is the GUID cache
  // folder itself. A "not modified" answer ends the download as done.
  CLmError Transfer() {
    std::string hostName;
    HXClient client(2);
    if (client.getNetworkHostnameMangled(hostName, nullptr) != 0) {
      HXLOG_FAILURE(lastError_, kTag, "Failed to get Network mangled Hostname for HB");
      return Failed(GuidFailureStep::kControlServer, hxerr::kNotFound);
    }
    CLmError err = session_.Attach(hostName, settings_);
    if (err.IsError()) {
      HXLOG_FAILURE(lastError_, kTag, "Failed to connect to the remote machine:[%s]",
                    err.AsString().c_str());
      return Failed(GuidFailureStep::kConnect, err.Code(), err.Text());
    }
    HXLOG(2, kTag, "Request Message Sent [ %s ]", session_->GetConnectionStr().c_str());
    if (ByDelta()) return CLmError::Success();
    // A temporary folder that is the GUID cache folder itself would have the
    // raw transfer renamed over the live database before any check.
    if (SameNode(source_.folder, hostfs::FolderOf(hostfs::ResolveLinks(destination_))) ||
        SameNode(source_.folder + "/" GUIDDB_NAME, destination_)) {
      err = staging_.Prepare();
      if (err.IsError()) {
        HXLOG_FAILURE(lastError_, kTag, "failed to create directory [%s]. error [%s]",
                      staging_.folder().c_str(), err.AsString().c_str());
        return Failed(GuidFailureStep::kMakeFolder, err.Code(), err.Text(), staging_.folder());
      }
      session_->SetDestinationFile(staging_.file());
      transferredIntoStaging_ = true;
    } else {
      transferFile_.path = hostfs::ResolveLinks(source_.folder + "/" GUIDDB_NAME);
    }
    // Asks for the file only if it changed since the one installed, when
    // that one came from this server and is still in place.
    const SDownloadValidator known =
        ReadDownloadValidator(guidCacheDir_, hostfs::ResolveLinks(destination_));
    session_->SetValidator(known.etag, known.lastModified);
    err = session_.Get(moved_.bytesFetched);
    if (err.IsError()) {
      HXLOG_FAILURE(lastError_, kTag, "HXSession::getfile() returned error [%s]",
                    err.AsString().c_str());
      return Failed(GuidFailureStep::kTransfer, err.Code(), err.Text());
    }
    if (session_->NotModified()) {
      // The installed file is the server's file: a completed refresh that
      // moved no body and leaves GUIDDB.DAT untouched.
      notModified_ = true;
      outcome_ = RefreshNotModified;
      HXLOG(-1, kTag,
            "Sql Lite db on HB is unchanged since the last download; local database kept");
      return CLmError::Success();
    }
    received_.etag = session_->ReceivedETag();
    received_.lastModified = session_->ReceivedLastModified();
    return CLmError::Success();
  }

  // The file is copied in beside the local one first and checked there: what
  // is installed is then exactly what was checked, even when the source
  // changes meanwhile (the control server's live database, when it runs on
  // this machine).
  CLmError Verify() {
    CLmError err = CLmDirectory::Create(guidCacheDir_.c_str(), true);
    if (err.IsError()) {
      HXLOG_FAILURE(lastError_, kTag, "failed to create directory [%s]. error [%s]",
                    guidCacheDir_.c_str(), err.AsString().c_str());
      return Failed(GuidFailureStep::kMakeFolder, err.Code(), err.Text(), guidCacheDir_);
    }
    // Appended as is: a folder that ends in a separator gives "//", which
    // the file system takes as one.
    sourceFile_ = source_.folder + "/" GUIDDB_NAME;
    if (transferredIntoStaging_) {
      sourceFile_ = staging_.file();
    } else {
      err = staging_.Prepare();
      // The transfer's own file (written, flushed and renamed by our
      // session, and never written again) needs no copy: a second name for
      // it in the staging folder is enough, when it is on the same file
      // system and needs no index added (which would change it under its
      // first name too). The control server's live file, when it runs here,
      // is always copied.
      const bool linked = !err.IsError() && session_.made() &&
                          CGuidDB::HasSearchIndexes(sourceFile_) &&
                          ::link(sourceFile_.c_str(), staging_.file().c_str()) == 0;
      if (!err.IsError() && !linked)
        err = CLmFile::Copy(sourceFile_.c_str(), staging_.file().c_str());
    }
    if (err.IsError()) {
      HXLOG_FAILURE(lastError_, kTag, "failed to copy file from [%s] to [%s]. error [%s]",
                    sourceFile_.c_str(), destination_.c_str(), err.AsString().c_str());
      return Failed(GuidFailureStep::kCopy, err.Code(), err.Text(), sourceFile_, destination_);
    }
    const std::string why = CGuidDB::VerifyFile(staging_.file());
    if (!why.empty()) {
      HXLOG_FAILURE(lastError_, kTag,
                    "GUID database [%s] from HB is not usable, local database left as it was: %s",
                    sourceFile_.c_str(), why.c_str());
      return Failed(GuidFailureStep::kUnusable, hxerr::kInvalid, why, sourceFile_);
    }
    // The release the manifest named, when the file holds its rows (a
    // publish between the two transfers gives another table): a delta from
    // it can then follow.
    RowSetDigest digest;
    if (!manifest_.digest.empty() && RowSetDigest::OfFile(staging_.file(), digest).ok() &&
        digest.Hex() == manifest_.digest) {
      received_.release = manifest_.id;
      received_.digest = manifest_.digest;
      received_.manifestEtag = manifestEtag_;
    }
    // The control server's file may know only the plain schema; the search
    // indexes keep private-mode lookups off full-table scans. Without them
    // the table still answers, only slower.
    if (!CGuidDB::HasSearchIndexes(staging_.file())) {
      CGuidDB incoming;
      if (incoming.Open(staging_.folder().c_str()) != 0 || incoming.CreateSearchIndexes() != 0)
        HXLOG(-1, kTag,
              "Could not add the search indexes to [%s]; lookups stay correct but slower.",
              destination_.c_str());
    }
    return CLmError::Success();
  }

  // The checked file is flushed (the index build wrote it after its copy
  // was flushed) and installed.
  CLmError Install() {
    hostfs::StagedFile checked;
    checked.Adopt(staging_.file(), true);
    Status installed = checked.Flush();
    if (installed.ok()) installed = InstallGuidDatabase(guidCacheDir_, checked);
    if (installed.code() == Status::Code::kDatabase) {
      HXLOG_FAILURE(lastError_, kTag, "%s", installed.context().c_str());
      return Failed(GuidFailureStep::kInstall, hxerr::kIo, installed.context());
    }
    if (!installed.ok()) {
      const CLmError err(hxerr::kIo, installed.context());
      HXLOG_FAILURE(lastError_, kTag, "failed to copy file from [%s] to [%s]. error [%s]",
                    sourceFile_.c_str(), destination_.c_str(), err.AsString().c_str());
      return Failed(GuidFailureStep::kCopy, err.Code(), err.Text(), sourceFile_, destination_);
    }
    WriteDownloadValidator(guidCacheDir_, hostfs::ResolveLinks(destination_), received_);
    moved_.release = received_.release;
    outcome_ = session_.made() ? RefreshDownloaded : RefreshCopiedLocally;
    HXLOG(-1, kTag, "Successfully received Sql Lite db from HB");
    return CLmError::Success();
  }

  // ---- the way by a delta ----

  // True when the table is the server's live release now, by a delta or
  // because it already was; false for the whole file (a line at level 2
  // says why). Leaves the session as the whole file's transfer expects it.
  bool ByDelta() {
    if (held_ == nullptr || staging_.Prepare().IsError()) return false;
    const std::string database = hostfs::ResolveLinks(destination_);
    const SDownloadValidator known = ReadDownloadValidator(guidCacheDir_, database);
    const char* why = ByDelta(database, known);
    session_->SetRemoteFile("");
    session_->SetDestinationFile("");
    session_->SetValidator("", "");
    if (why == nullptr) return true;
    HXLOG(2, kTag, "Fetching the whole table: %s", why);
    return false;
  }

  // Null when done, else why not.
  const char* ByDelta(const std::string& database, const SDownloadValidator& known) {
    session_->SetRemoteFile(kManifestName);
    session_->SetDestinationFile(staging_.manifest());
    session_->SetValidator(known.release.empty() ? "" : known.manifestEtag, "");
    CLmError err = session_.Get(moved_.bytesFetched);
    if (err.IsError()) return "no manifest from the control server";
    if (session_->NotModified()) return Unchanged(known, known.manifestEtag);
    std::string text;
    if (!hostfs::ReadWholeFile(staging_.manifest(), text) || !ParseManifest(text, manifest_))
      return "the control server's manifest cannot be read";
    manifestEtag_ = session_->ReceivedETag();
    if (known.release.empty()) return "the installed table's release is not known";
    if (manifest_.digest.empty()) return "the manifest has no row digest";
    if (manifest_.id == known.release && manifest_.digest == known.digest)
      return Unchanged(known, manifestEtag_);
    const ManifestDelta* listed = nullptr;
    for (const ManifestDelta& d : manifest_.deltas)
      if (d.from == known.release) listed = &d;
    if (listed == nullptr) return "the live release has no delta from the installed one";
    RowDelta delta;
    if (const char* why = FetchDelta(*listed, delta)) return why;
    if (delta.fromId != known.release || delta.toId != manifest_.id ||
        delta.digest != manifest_.digest)
      return "the delta is not the one the manifest lists";
    RowSetDigest current, after;
    if (!RowSetDigest::FromHex(known.digest, current)) return "the recorded digest is garbled";
    // A journal left beside the table belongs in it before it is copied.
    std::string why;
    if (!CGuidDB::ClearLeftoverJournal(database, &why)) return "the table has a journal left";
    // The copy is flushed once, after the delta: until it is installed it
    // is scratch, and a crash leaves the old table untouched.
    hostfs::StagedFileOptions scratch;
    scratch.prefix = GUIDDB_NAME ".";
    scratch.sqlite = true;
    hostfs::StagedFile copy;
    if (!copy.Create(staging_.folder(), scratch).ok() || !copy.CopyFrom(database).ok() ||
        !copy.Close().ok())
      return "the table could not be copied for the delta";
    const Status applied = ApplyRowDelta(*held_, copy.path(), delta, current, after, nullptr,
                                         /*scratch=*/true);
    if (!applied.ok()) {
      HXLOG(-1, kTag, "The row delta was not applied, the table is as it was: %s",
            applied.context().c_str());
      return "the delta could not be applied";
    }
    if (!copy.Flush().ok()) return "the table with the delta could not be flushed";
    // The validator and the snapshots of the old table go with it.
    const Status installed = InstallGuidDatabase(guidCacheDir_, copy);
    if (!installed.ok()) {
      HXLOG(-1, kTag, "The table with the row delta was not installed: %s",
            installed.context().c_str());
      return "the table with the delta could not be installed";
    }
    SDownloadValidator now;
    now.release = manifest_.id;
    now.digest = after.Hex();
    now.manifestEtag = manifestEtag_;
    WriteDownloadValidator(guidCacheDir_, database, now);
    moved_.release = manifest_.id;
    moved_.rowsRemoved = delta.removed.size();
    moved_.rowsAdded = delta.added.size();
    outcome_ = RefreshDelta;
    HXLOG(-1, kTag, "Sql Lite db brought to release %s by a row delta: %zu rows removed, %zu added",
          manifest_.id.c_str(), delta.removed.size(), delta.added.size());
    return nullptr;
  }

  // The installed release is the live one: nothing moves. The manifest's
  // new ETag, when it changed, is kept for the next request.
  const char* Unchanged(SDownloadValidator known, const std::string& manifestEtag) {
    if (known.manifestEtag != manifestEtag) {
      known.manifestEtag = manifestEtag;
      WriteDownloadValidator(guidCacheDir_, hostfs::ResolveLinks(destination_), known);
    }
    moved_.release = known.release;
    notModified_ = true;
    outcome_ = RefreshNotModified;
    HXLOG(-1, kTag, "Sql Lite db on HB is release %s, the one installed; local database kept",
          known.release.c_str());
    return nullptr;
  }

  // Fetches and reads the delta the manifest lists. Null when it is the
  // listed file, whole, else why not.
  const char* FetchDelta(const ManifestDelta& listed, RowDelta& delta) {
    const std::string& name = listed.file.name;
    if (name.empty() || name[0] == '/' || name.find("..") != std::string::npos)
      return "the manifest names its delta outside the release";
    session_->SetRemoteFile(name);
    session_->SetDestinationFile(staging_.delta());
    session_->SetValidator("", "");
    if (session_.Get(moved_.bytesFetched).IsError()) return "the delta could not be fetched";
    std::string gz;
    if (!hostfs::ReadWholeFile(staging_.delta(), gz)) return "the delta cannot be read";
    if (static_cast<long long>(gz.size()) != listed.file.size ||
        Sha256Hex(gz) != listed.file.sha256)
      return "the delta is not the file the manifest lists";
    if (!DecodeRowDelta(gz, delta).ok()) return "the delta is damaged";
    return nullptr;
  }

  static std::string Sha256Hex(const std::string& bytes) {
    unsigned char hash[32];
    if (gnutls_hash_fast(GNUTLS_DIG_SHA256, bytes.data(), bytes.size(), hash) != 0) return "";
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : hash) {
      hex += kHex[b >> 4];
      hex += kHex[b & 15];
    }
    return hex;
  }

  const std::string& guidCacheDir_;
  std::string& lastError_;
  SGuidFailure& failure_;
  const AccessLock* held_;
  SDownloadMoved& moved_;
  Manifest manifest_;  // the control server's, when it sent one
  std::string manifestEtag_;
  const std::string destination_;
  HXPlatformInfo settings_;
  SDownloadSource source_;
  std::string sourceFile_;  // the file copied into staging, for the failure lines
  TransferFile transferFile_;
  ScopedSession session_;
  Staging staging_;
  bool transferredIntoStaging_ = false;
  bool notModified_ = false;
  SDownloadValidator received_;
  GuidRefreshOutcome outcome_ = RefreshOutcomeNone;
};

}  // namespace

SDownloadSource ChooseDownloadSource() {
  SDownloadSource source;
  try {
    HXPlatformInfo settings;
    // An empty value names no folder: the file would be looked for at the
    // root of the file system.
    auto folder = [&settings](const hxsettings::Setting& setting) {
      std::string value;
      return settings.getString(setting, &value) ? value : std::string();
    };
    source.local = (settings.getHXPlatformType() & kHXPlatformControlServerHere) != 0;
    if (source.local) {
      source.folder = folder(hxsettings::kControlServerDbDir);
      if (source.folder.empty()) source.folder = folder(hxsettings::kBaseHome);
    } else {
      source.folder = folder(hxsettings::kTempDir);
    }
  } catch (...) {
    // Short of memory: no folder, so no download.
    source.folder.clear();
  }
  return source;
}

bool DownloadGuidDatabase(const std::string& guidCacheDir, std::string& lastError,
                          GuidRefreshOutcome* outcome, SGuidFailure* failure,
                          const AccessLock* held, SDownloadMoved* moved) {
  lastError.clear();
  SGuidFailure ignored;
  SGuidFailure& failed = failure != nullptr ? *failure : ignored;
  SDownloadMoved unused;
  try {
    GuidDownload download(guidCacheDir, lastError, failed, held,
                          moved != nullptr ? *moved : unused);
    if (download.Run().IsError()) return false;
    if (outcome) *outcome = download.outcome();
    return true;
  } catch (...) {
    HXLOG_FAILURE(lastError, kTag, "Unexpected failure: %s", guidlookups_internal::CaughtMessage());
    failed.step = GuidFailureStep::kUnexpected;
    try {
      failed.cause = lastError;
    } catch (...) {
    }
  }
  return false;
}
