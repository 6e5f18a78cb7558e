// What each qzclients command does, against the catalogue already opened.
// Each returns its result, to be shown as a table or as JSON; failures of
// the inputs (inventory, libvirt, the catalogue before the request) are
// thrown as Failure with their exit code.
//
// create and map-vms judge every client as created, already known, failed
// or not finished, by what the catalogue holds after the request: 0 when
// every client is done, 1 when any is not, and when the request was refused
// whole, 2 or the exit code of the catalogue's fault.
#ifndef QZ_TOOLS_QZCLIENTS_COMMANDS_H_
#define QZ_TOOLS_QZCLIENTS_COMMANDS_H_

#include <string>
#include <vector>

#include "qzclients/cli.h"
#include "qzclients/client_outcome.h"
#include "sim/qzsim.h"

namespace qzclients {

struct Result {
  int exitCode = kExitOk;
  // Why the run failed whole, or why clients are not done; empty when not.
  std::string error;
  long long errorCode = 0;             // the server's error for `error`, if any
  std::vector<std::string> log;        // the library's lines explaining `error`
  std::vector<std::string> notes;      // warnings and remarks for a person
  bool byMachine = false;              // clients go by machine GUID
  std::vector<ClientOutcome> clients;  // create and map-vms
  std::vector<qzsim::ClientRecord> catalogue;  // list
  std::string request;  // a dry run's request, as indented XML
};

Result RunCreate(const CreateOptions& options, bool dryRun);
Result RunMapVms(const MapVmsOptions& options, bool dryRun);
Result RunList();

}  // namespace qzclients

#endif  // QZ_TOOLS_QZCLIENTS_COMMANDS_H_
