// What each qzclients command does, against the catalogue already opened.
// Each returns the exit code and writes its results to standard output and
// its complaints, naming what was wrong, to standard error. Failures of the
// inputs (inventory, libvirt) are thrown as std::runtime_error.
#ifndef QZ_TOOLS_QZCLIENTS_COMMANDS_H_
#define QZ_TOOLS_QZCLIENTS_COMMANDS_H_

#include "qzclients/cli.h"

namespace qzclients {

int RunCreate(const CreateOptions& options, bool dryRun);
int RunMapVms(const MapVmsOptions& options, bool dryRun);
int RunList();

}  // namespace qzclients

#endif  // QZ_TOOLS_QZCLIENTS_COMMANDS_H_
