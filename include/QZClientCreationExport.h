// Export macro of the client creation library: it is built with hidden
// visibility, and only what carries this macro is part of its interface.
#ifndef QZCLIENTCREATION_EXPORT_H_
#define QZCLIENTCREATION_EXPORT_H_

#define QZCC_EXPORT __attribute__((visibility("default")))

#endif  // QZCLIENTCREATION_EXPORT_H_
