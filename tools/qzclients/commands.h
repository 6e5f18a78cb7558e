// What each qzclients command does, against the catalogue already opened.
// Each returns the exit code and writes its results to `streams.out` and
// its complaints, naming what was wrong, to `streams.err`. Failures of the
// inputs (inventory, libvirt) are thrown as std::runtime_error.
//
// create and map-vms report every client as created, already known, failed
// or not finished, by what the catalogue holds after the request: 0 when
// every client is done, 1 when any is not, 2 when the request was refused
// whole or nothing was submitted.
#ifndef QZ_TOOLS_QZCLIENTS_COMMANDS_H_
#define QZ_TOOLS_QZCLIENTS_COMMANDS_H_

#include <cstdio>

#include "qzclients/cli.h"

namespace qzclients {

struct Streams {
  std::FILE* out = stdout;
  std::FILE* err = stderr;
};

int RunCreate(const CreateOptions& options, bool dryRun,
              const Streams& streams = {});
int RunMapVms(const MapVmsOptions& options, bool dryRun,
              const Streams& streams = {});
int RunList(const Streams& streams = {});

}  // namespace qzclients

#endif  // QZ_TOOLS_QZCLIENTS_COMMANDS_H_
