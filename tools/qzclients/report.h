// A run's result as shown: a table for a person, or one JSON document for a
// script.
//
// The JSON document of create and map-vms:
//   {"command": "create", "exitCode": 1,
//    "error": null | {"code": N | null, "text": "...", "log": ["..."]},
//    "notes": ["..."],
//    "summary": {"created": N, "known": N, "failed": N, "notFinished": N},
//    "clients": [{"machine": "GUID or alternate id" (map-vms only),
//                 "name": "...", "status": "created" | "known" | "failed" |
//                 "not finished", "id": N | null, "host": "..." | null,
//                 "os": {"id": N, "name": "..."} | null, "groups": ["..."],
//                 "agentless": true | false | null,
//                 "error": null | {"code": N | null, "text": "..."}}]}
// A dry run has "request" (the indented XML) in place of "summary" and
// "clients". list has "clients": [{"id", "name", "host", "os", "agentless",
// "groups", "deleted"}]. Texts are never cut; bytes that are not UTF-8 come
// out as U+FFFD.
#ifndef QZ_TOOLS_QZCLIENTS_REPORT_H_
#define QZ_TOOLS_QZCLIENTS_REPORT_H_

#include <string>

#include "qzclients/commands.h"

namespace qzclients {

// The name shown for an operating-system id: "Unix", "Windows",
// "pre-declared" (the server's id while the family is unknown) or "other".
const char* OsName(int osId);

// For a person: the dry run's request, or the table of the clients; none
// when the request failed whole. `command` is "create", "map-vms" or "list".
std::string TextOf(const Result& result, const std::string& command);

std::string JsonOf(const Result& result, const std::string& command);

}  // namespace qzclients

#endif  // QZ_TOOLS_QZCLIENTS_REPORT_H_
