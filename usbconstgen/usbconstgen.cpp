// usbconstgen: prints the usbdevfs request numbers, URB flags and types and
// structure sizes of the ABI it is built for, as Python source lines.
#include <linux/usbdevice_fs.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/ioctl.h>

// Request numbers are printed as unsigned 32-bit values: several have bit 31
// set and must not come out negative.
#define PRINT_HEX(name) printf(#name " = 0x%x\n", (unsigned)(uint32_t)(name))
#define PRINT_SIZE(type) printf("# sizeof(" #type ") = %d\n", (int)sizeof(type))

int main() {
    PRINT_HEX(USBDEVFS_SETCONFIGURATION);
    PRINT_HEX(USBDEVFS_CONTROL);
    PRINT_HEX(USBDEVFS_BULK);
    PRINT_HEX(USBDEVFS_GETDRIVER);
    PRINT_HEX(USBDEVFS_SETINTERFACE);
    PRINT_HEX(USBDEVFS_CLAIMINTERFACE);
    PRINT_HEX(USBDEVFS_RELEASEINTERFACE);
    PRINT_HEX(USBDEVFS_RESET);
    PRINT_HEX(USBDEVFS_RESETEP);
    PRINT_HEX(USBDEVFS_DISCONNECT);
    PRINT_HEX(USBDEVFS_CONNECT);
    PRINT_HEX(USBDEVFS_CONNECTINFO);
    PRINT_HEX(USBDEVFS_SUBMITURB);
    PRINT_HEX(USBDEVFS_DISCARDURB);
    PRINT_HEX(USBDEVFS_REAPURB);
    PRINT_HEX(USBDEVFS_REAPURBNDELAY);
    printf("\n");

    PRINT_HEX(USBDEVFS_URB_SHORT_NOT_OK);
    PRINT_HEX(USBDEVFS_URB_ISO_ASAP);
    PRINT_HEX(USBDEVFS_URB_TYPE_ISO);
    PRINT_HEX(USBDEVFS_URB_TYPE_INTERRUPT);
    PRINT_HEX(USBDEVFS_URB_TYPE_CONTROL);
    PRINT_HEX(USBDEVFS_URB_TYPE_BULK);
    printf("\n");

    PRINT_SIZE(struct usbdevfs_bulktransfer);
    PRINT_SIZE(struct usbdevfs_ctrltransfer);
    PRINT_SIZE(struct usbdevfs_getdriver);
    PRINT_SIZE(struct usbdevfs_connectinfo);
    PRINT_SIZE(struct usbdevfs_urb);
    return 0;
}
