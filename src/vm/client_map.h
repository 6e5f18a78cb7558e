// Filing clients in maps of GUID to ClientData.
#ifndef QZ_VM_CLIENT_MAP_H_
#define QZ_VM_CLIENT_MAP_H_

#include <map>
#include <string>

#include "QZClientCreation.h"

namespace qzcc {

// The entry under `key`, holding a default ClientData whatever was filed
// there before, for the caller to fill. ClientData has no move and a copy of
// one is four strings, so a million-machine map is filled in place. Keys
// mostly come in order, so the end is tried first. Throws std::bad_alloc,
// leaving `map` as it was.
std::map<std::string, ClientData>::iterator FreshEntry(
    std::map<std::string, ClientData>& map, std::string key);

}  // namespace qzcc

#endif  // QZ_VM_CLIENT_MAP_H_
