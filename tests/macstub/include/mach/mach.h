// Test stand-in for the Mach declarations that python/macusb uses (see
// tests/macstub/README.md).
#ifndef MACSTUB_MACH_H
#define MACSTUB_MACH_H

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned int natural_t;
typedef int kern_return_t;
typedef natural_t mach_port_t;
typedef natural_t mach_port_name_t;
typedef mach_port_t ipc_space_t;
#define MACH_PORT_NULL ((mach_port_t)0)
#define KERN_SUCCESS 0

extern mach_port_t mach_task_self_;
#define mach_task_self() mach_task_self_
kern_return_t mach_port_deallocate(ipc_space_t task, mach_port_name_t name);

#ifdef __cplusplus
}
#endif

#endif
