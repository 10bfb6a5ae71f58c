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
// A process that died in a rebuild may have left a rollback journal (or a
// WAL and its index) beside the old file. SQLite would apply it to whatever
// file carries that name next, so it must be gone before the swap. We hold
// the named mutex, so no live user of the file owns it: the old file is
// opened once through the access layer, which rolls a hot journal back (so
// the old file stays whole even if the copy then fails), and whatever is
// left beside it is removed. If a leftover cannot be removed, the swap is not
// made.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "guiddb/GuidDB.h"
#include "host/FXString.h"
#include "host/LogWriter.h"
#include "host/Network.h"
#include "host/Files.h"
#include "host/Settings.h"
#include "host/StagedFile.h"
#include "lookups/Download.h"
#include "lookups/FailureLog.h"
#include "lookups/HXGuidLookups.h"
#include "lookups/SharedSnapshot.h"
#include "lookups/Validator.h"

namespace {

constexpr const char* kTag = "bool CHXGuidLookups::getSqlLiteGUIDDbFromHB()";
constexpr int kNetworkTimeout = 120;

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

  // An empty staging folder (leftovers of an earlier call are removed).
  CLmError Prepare() {
    Clear();
    return CLmDirectory::Create(folder_.c_str(), true);
  }

  // Flushes the checked file (the index build wrote it after its copy was
  // flushed) and renames it over the file `destination` names.
  CLmError InstallAs(const std::string& destination) {
    hostfs::StagedFile checked;
    checked.Adopt(file(), true);
    if (const int err = checked.Flush())
      return CLmError(hxerr::kIo, "cannot flush " + file() + ": " + hostfs::ErrnoText(err));
    const std::string target = hostfs::ResolveLinks(destination);
    if (const int err = checked.Install(target, false))
      return CLmError(hxerr::kIo,
                      "cannot rename " + file() + " to " + target + ": " + hostfs::ErrnoText(err));
    return CLmError::Success();
  }

 private:
  void Clear() {
    hostfs::RemoveWithSidecars(file());
    ::rmdir(folder_.c_str());
  }

  std::string folder_;
};

// Ends a network session the call made: disconnect, then destroy.
void EndSession(std::unique_ptr<CHxNetwork>& network, bool& flag) {
  if (!network) return;
  try {
    network->Disconnect(kNetworkTimeout, flag);
  } catch (...) {
  }
  network.reset();
}

// True when `a` and `b` name one existing file or folder.
bool SameNode(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

}  // namespace

// The steps, in order: focus the settings; require "dHOME"; choose the source
// folder (the control server's own folder when it is installed here, else
// the temporary folder after a transfer); then create the GUID cache folder,
// verify the new file, clear stale journals and copy. Every path ends by
// disconnecting and destroying the network session if one was made.
bool DownloadGuidDatabase(const std::string& guidCacheDir, std::string& lastError,
                          GuidRefreshOutcome* outcome) {
  lastError.clear();
  bool result = false;
  GuidRefreshOutcome did = RefreshOutcomeNone;
  // The file the transfer writes in the temporary folder: nothing reads it
  // after this call, so it goes on every path (a whole database per agent
  // would otherwise stay there).
  std::string transferFile;
  std::unique_ptr<CHxNetwork> network;
  bool flag = false;
  try {
    HXClient client(2);
    HXPlatformInfo settings;
    const std::string destination = guidCacheDir + "/" GUIDDB_NAME;
    // The new file is checked in a folder beside the file that GUIDDB.DAT
    // names (a link is kept): the rename then stays on one file system.
    Staging staging(hostfs::FolderOf(hostfs::ResolveLinks(destination)));
    bool transferredIntoStaging = false;
    SDownloadValidator received;
    do {
      if (!settings.setFocus(HXPI_Focus::getFocus())) {
        HXLOG_FAILURE(lastError, kTag, " Unable to set focus name");
        break;
      }
      std::string home;
      if (!settings.getString("vTaskHost", "dHOME", &home)) {
        HXLOG_FAILURE(lastError, kTag, " Unable to get Base Temp Directory path");
        break;
      }

      std::string sourceFolder;
      if (settings.getHXPlatformType() & kHXPlatformControlServerHere) {
        HXLOG(2, kTag, "HB is installed. Perform local copy of sqlite db");
        if (!settings.getString("Base", "dMORVAXSQLLITEDBDIR", &sourceFolder) &&
            !settings.getString("Base", "dBASEHOME", &sourceFolder)) {
          HXLOG_FAILURE(lastError, kTag, " Unable to get Base Temp Directory path");
          break;
        }
      } else {
        if (!settings.getString("Base", "dMORVAXTEMPDIR", &sourceFolder)) {
          HXLOG_FAILURE(lastError, kTag, " Unable to get Base Temp Directory path");
          break;
        }
        std::string hostName;
        if (client.getNetworkHostnameMangled(hostName, nullptr) != 0) {
          HXLOG_FAILURE(lastError, kTag, "Failed to get Network mangled Hostname for HB");
          break;
        }
        network.reset(new CHxNetwork());
        if (!network->IsConnected()) {
          hxsExecuteRemoteDllType executables;
          std::strncpy(executables.localExecutable, "sLNDM2REMOTEEXEC",
                       sizeof(executables.localExecutable) - 1);
          std::strncpy(executables.remoteExecutable, "sLPDM2REMOTEEXEC",
                       sizeof(executables.remoteExecutable) - 1);
          executables.options = 0;
          char clientName[256] = {0};
          const char* machine = settings.getPhysicalMachine();
          std::strncpy(clientName, machine ? machine : "", sizeof(clientName) - 1);
          CLmError err =
              network->Attach_RemoteDLL(hostName, &executables, clientName, kNetworkTimeout, flag);
          if (err.IsError()) {
            HXLOG_FAILURE(lastError, kTag, "Failed to connect to the remote machine:[%s]",
                          err.AsString().c_str());
            break;
          }
        }
        HXLOG(2, kTag, "Request Message Sent [ %s ]", network->GetConnectionStr().c_str());
        // A temporary folder that is the GUID cache folder itself would have
        // the raw transfer renamed over the live database before any check:
        // it goes straight to the staging folder instead.
        if (SameNode(sourceFolder, hostfs::FolderOf(hostfs::ResolveLinks(destination))) ||
            SameNode(sourceFolder + "/" GUIDDB_NAME, destination)) {
          CLmError err = staging.Prepare();
          if (err.IsError()) {
            HXLOG_FAILURE(lastError, kTag, "failed to create directory [%s]. error [%s]",
                          staging.folder().c_str(), err.AsString().c_str());
            break;
          }
          network->SetDestinationFile(staging.file());
          transferredIntoStaging = true;
        } else {
          transferFile = hostfs::ResolveLinks(sourceFolder + "/" GUIDDB_NAME);
        }
        // Asks for the file only if it changed since the one installed, when
        // that one came from this server and is still in place.
        const SDownloadValidator known =
            ReadDownloadValidator(guidCacheDir, hostfs::ResolveLinks(destination));
        if (!known.empty()) network->SetValidator(known.etag, known.lastModified);
        hxsFilexferRequest request;
        flag = false;
        CLmError err = network->PutFileResponse(false, request, nullptr, -1, flag);
        if (err.IsError()) {
          HXLOG_FAILURE(lastError, kTag, "HXSession::getfile() returned error [%s]", err.AsString().c_str());
          break;
        }
        if (network->NotModified()) {
          // The installed file is the server's file: a completed refresh
          // that moved no body and leaves GUIDDB.DAT untouched.
          result = true;
          did = RefreshNotModified;
          HXLOG(-1, kTag, "Sql Lite db on HB is unchanged since the last download; local database kept");
          break;
        }
        received.etag = network->ReceivedETag();
        received.lastModified = network->ReceivedLastModified();
      }

      CLmError err = CLmDirectory::Create(guidCacheDir.c_str(), true);
      if (err.IsError()) {
        HXLOG_FAILURE(lastError, kTag, "failed to create directory [%s]. error [%s]", guidCacheDir.c_str(),
                      err.AsString().c_str());
        break;
      }
      // Appended as is: a folder that ends in a separator gives "//", which
      // the file system takes as one.
      std::string source = sourceFolder + "/" GUIDDB_NAME;
      // The file is copied in beside the local one first and checked there:
      // what is installed is then exactly what was checked, even when the
      // source changes meanwhile (the control server's live database, when it
      // runs on this machine).
      if (transferredIntoStaging) {
        source = staging.file();
      } else {
        err = staging.Prepare();
        // The transfer's own file (written, flushed and renamed by our
        // session, and never written again) needs no copy: a second name
        // for it in the staging folder is enough, when it is on the same
        // file system and needs no index added (which would change it under
        // its first name too). The control server's live file, when it runs
        // here, is always copied.
        const bool linked = !err.IsError() && network &&
                            CGuidDB::HasSearchIndexes(source) &&
                            ::link(source.c_str(), staging.file().c_str()) == 0;
        if (!err.IsError() && !linked)
          err = CLmFile::Copy(source.c_str(), staging.file().c_str());
      }
      if (err.IsError()) {
        HXLOG_FAILURE(lastError, kTag, "failed to copy file from [%s] to [%s]. error [%s]", source.c_str(),
                      destination.c_str(), err.AsString().c_str());
        break;
      }
      std::string why = CGuidDB::VerifyFile(staging.file());
      if (!why.empty()) {
        HXLOG_FAILURE(lastError, kTag,
                      "GUID database [%s] from HB is not usable, local database left as it was: %s",
                      source.c_str(), why.c_str());
        break;
      }
      // The control server's file may know only the plain schema; the
      // search indexes keep private-mode lookups off full-table scans.
      // Without them the table still answers, only slower.
      if (!CGuidDB::HasSearchIndexes(staging.file())) {
        CGuidDB incoming;
        if (incoming.Open(staging.folder().c_str()) != 0 || incoming.CreateSearchIndexes() != 0)
          HXLOG(-1, kTag,
                "Could not add the search indexes to [%s]; lookups stay correct but slower.",
                destination.c_str());
      }
      if (!CGuidDB::ClearLeftoverJournal(hostfs::ResolveLinks(destination), &why)) {
        HXLOG_FAILURE(lastError, kTag, "%s", why.c_str());
        break;
      }
      // From here the validator would describe a file no longer in place.
      DropDownloadValidator(guidCacheDir);
      err = staging.InstallAs(destination);
      if (err.IsError()) {
        HXLOG_FAILURE(lastError, kTag, "failed to copy file from [%s] to [%s]. error [%s]", source.c_str(),
                      destination.c_str(), err.AsString().c_str());
        break;
      }
      // Snapshots of the old table would only be refused from now on.
      RemoveSharedSnapshots(guidCacheDir);
      WriteDownloadValidator(guidCacheDir, hostfs::ResolveLinks(destination), received);
      result = true;
      did = network ? RefreshDownloaded : RefreshCopiedLocally;
      HXLOG(-1, kTag, "Successfully received Sql Lite db from HB");
    } while (false);
  } catch (const std::exception& e) {
    result = false;
    HXLOG_FAILURE(lastError, kTag, "Unexpected failure: %s", e.what());
  } catch (...) {
    result = false;
    HXLOG_FAILURE(lastError, kTag, "Unexpected failure");
  }
  EndSession(network, flag);
  if (!transferFile.empty() && ::unlink(transferFile.c_str()) != 0 && errno != ENOENT)
    HXLOG(-1, kTag, "Could not remove the transferred file [%s]: %s", transferFile.c_str(),
          hostfs::ErrnoText(errno).c_str());
  if (result && outcome) *outcome = did;
  return result;
}
