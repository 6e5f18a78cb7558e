#include "qzclients/exit_codes.h"

#include <sqlite3.h>

#include <exception>
#include <string>

#include "sim/catalogue.h"
#include "sim/qzsim.h"

namespace qzclients {

int ExitCodeOfSetupError(long long code) {
  switch (code) {
    case qzsim::kCatalogueBusyError:
      return kExitTryAgain;
    case qzsim::kCatalogueFullError:
    case qzsim::kCatalogueIoError:
      return kExitIoError;
    case qzsim::kCatalogueReadOnlyError:
      return kExitCannotCreate;
    case qzsim::kCatalogueError:
      return kExitDataError;  // a damaged file, or not a catalogue at all
    default:
      return kExitRequestFailed;
  }
}

int ExitCodeOfCatalogueError(const std::exception& error, bool opening) {
  const auto* fault = dynamic_cast<const qzsim::CatalogueError*>(&error);
  if (fault == nullptr) return kExitRequestFailed;
  // SQLite cannot open a file whose folder is missing, read-only or the
  // path itself a folder: the catalogue cannot be created there.
  if (opening && (fault->code() & 0xff) == SQLITE_CANTOPEN) {
    return kExitCannotCreate;
  }
  return ExitCodeOfSetupError(qzsim::KindOf(fault->code()).setupErrorCode);
}

int ExitCodeOfCatalogueFault(const std::string& fault) {
  // The text ends in the kind's name in brackets; one code of each kind
  // finds it.
  for (const int code : {SQLITE_BUSY, SQLITE_FULL, SQLITE_READONLY,
                         SQLITE_IOERR, SQLITE_ERROR}) {
    const qzsim::FaultKind kind = qzsim::KindOf(code);
    const std::string mark = std::string(" (") + kind.name + ")";
    if (fault.size() >= mark.size() &&
        fault.compare(fault.size() - mark.size(), mark.size(), mark) == 0) {
      return ExitCodeOfSetupError(kind.setupErrorCode);
    }
  }
  return kExitRequestFailed;
}

}  // namespace qzclients
