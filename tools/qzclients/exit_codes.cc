#include "qzclients/exit_codes.h"

#include <exception>
#include <string>

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
  if (opening && fault->cannotOpen()) return kExitCannotCreate;
  return ExitCodeOfSetupError(fault->kind());
}

int ExitCodeOfCatalogueFault(const std::string& fault) {
  return fault.empty() ? kExitRequestFailed
                       : ExitCodeOfSetupError(qzsim::lastCatalogueErrorCode());
}

}  // namespace qzclients
