// A process that died in a rebuild may have left a rollback journal (or a
// WAL and its index) beside the old file. SQLite would apply it to whatever
// file carries that name next, so it must be gone before the swap. The
// caller holds the access lock, so no live user of the file owns it: the
// old file is opened once through the access layer, which rolls a hot
// journal back (so the old file stays whole even if the rename then fails),
// and whatever is left beside it is removed. If a leftover cannot be
// removed, the swap is not made.
#include "lookups/refresh/Install.h"

#include "guiddb/CacheFiles.h"
#include "guiddb/GuidDB.h"
#include "host/Files.h"
#include "lookups/refresh/Validator.h"
#include "lookups/snapshot/SharedSnapshot.h"

Status InstallGuidDatabase(const std::string& guidCacheDir, hostfs::StagedFile& staged) {
  const std::string target = hostfs::ResolveLinks(cachefiles::Database(guidCacheDir));
  std::string why;
  if (!CGuidDB::ClearLeftoverJournal(target, &why)) return Status(Status::Code::kDatabase, why);
  // From here a validator would describe a file no longer in place.
  DropDownloadValidator(guidCacheDir);
  const std::string from = staged.path();
  if (const int err = staged.Install(target, false))
    return Status::IOError(
        "cannot rename " + from + " to " + target + ": " + hostfs::ErrnoText(err), err);
  // Snapshots of the old table would only be refused from now on.
  RemoveSharedSnapshots(guidCacheDir);
  return Status::OK();
}
