// All setup records and the operating-system family, in one include.
#ifndef QZ_MESSAGES_RECORDS_H_
#define QZ_MESSAGES_RECORDS_H_

#include "messages/app.h"
#include "messages/entities.h"
#include "messages/install_manager.h"
#include "messages/install_os_type.h"

#endif  // QZ_MESSAGES_RECORDS_H_
