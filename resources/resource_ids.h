/* Resource identifiers shared by zelmora.rc and the C++ sources.
   Kept free of <windows.h> so the resource compiler can include it too. */
#ifndef ZELMORA_RESOURCE_IDS_H
#define ZELMORA_RESOURCE_IDS_H

#define IDI_ZELMORA 1 /* program and tray icon */
#define IDR_LOGO 2    /* logo GIF, stored as RCDATA */

/* The program reads its product name back as the tray icon's tip. */
#define ZELMORA_PRODUCT_NAME "Orva Zelmora"
/* The clock service's description, also its display name in the service manager. */
#define ZELMORA_SERVICE_DESCRIPTION "Orva Zelmora Clock Service"

#endif /* ZELMORA_RESOURCE_IDS_H */
