/* prtlink: link driver for serial-attached financial document printers.
 *
 * Every operation returns a 16-bit completion code (0 = success, values below).
 * A printer handle is the port handle returned by PrtOpenDeviceX; the driver accepts it
 * only from the process that opened it. Arguments are plain values and pointers to the
 * caller's variables, which the driver fills; nothing is allocated across the boundary,
 * and no operation throws.
 */
#ifndef PRTLINK_H
#define PRTLINK_H

#include <stdint.h>

#if defined(PRTLINK_BUILD)
#define PRTLINK_API __attribute__((visibility("default")))
#else
#define PRTLINK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Completion codes. */
#define PRT_OK 0u
#define PRT_CP_FILE_NOT_FOUND 2u
#define PRT_CP_NOT_SUPPORTED 476u
#define PRT_ALREADY_OPEN 1281u
#define PRT_INVALID_PARAMETERS 1282u
#define PRT_BUFFER_TOO_SMALL 1283u
#define PRT_INVALID_HANDLE 1284u
#define PRT_INVALID_COMPONENT 1285u
#define PRT_COMM_ERROR 1286u
#define PRT_DEVICE_ERROR 1287u
#define PRT_DEVICE_EXCEPTION 1288u
#define PRT_UNSUPPORTED_COMPONENT 1289u
#define PRT_STATUS_AVAILABLE 1290u
#define PRT_STATUS_TIMEOUT 1291u
#define PRT_INTERNAL_ERROR 1292u
#define PRT_NO_POR_STATUS 1293u
#define PRT_ACCESS_DENIED 1294u
#define PRT_STATUS_PENDING 1295u
#define PRT_CP_TRANSMIT_FAILED 1297u
#define PRT_INVALID_PRINTER_ID 1298u
#define PRT_POR_WITHOUT_STATUS 1299u
#define PRT_REMS_ATTR_FAILED 1300u

#define PRT_INVALID_HANDLE_VALUE 0xFFFFFFFFu

/* Opening and closing. time_out_ms: 0 tries once, -1 retries until the port opens,
 * a positive value retries for that long. */
PRTLINK_API uint16_t PrtOpenDeviceX(uint32_t* handle, uint32_t printer_id, int32_t time_out_ms);
PRTLINK_API uint16_t PrtOpenDeviceParmsX(uint32_t* handle, uint32_t printer_id,
                                         int32_t time_out_ms, uint32_t com_port,
                                         uint32_t baud_rate, uint32_t stop_bits,
                                         uint32_t code_page);
PRTLINK_API uint16_t PrtCloseDeviceX(uint32_t handle);
PRTLINK_API uint16_t PrtSetCTSLineX(uint32_t mode);

/* Transactions. mode 0: writes wait for the printer; 1: writes print in the background. */
PRTLINK_API uint16_t PrtBeginTransX(uint32_t handle, uint32_t mode);
PRTLINK_API uint16_t PrtEndTransX(uint32_t handle);
PRTLINK_API uint16_t PrtResetDriverX(uint32_t handle);

/* Device status: record = three words (exception, error, detail); *length must be 6. */
PRTLINK_API uint16_t PrtDeviceStatusX(uint32_t handle, uint32_t component, uint32_t time_out_ms,
                                      uint16_t* record, uint16_t* length);

/* Data. component 1 print unit, 2 REMS unit, 9 raw REMS command (writes). */
PRTLINK_API uint16_t PrtWriteDeviceX(uint32_t handle, uint32_t component, const uint8_t* data,
                                     uint16_t* length);
PRTLINK_API uint16_t PrtReadDeviceX(uint32_t handle, uint32_t component, uint8_t* buffer,
                                    uint16_t* length);
PRTLINK_API uint16_t PrtReqMicrDeviceX(uint32_t handle, uint32_t option, uint8_t* buffer,
                                       uint16_t* length);

/* Environment variables and code pages. */
PRTLINK_API uint16_t PrtGetEnvVarsX(uint32_t handle, uint32_t component, uint16_t* output,
                                    uint32_t variable);
PRTLINK_API uint16_t PrtSetEnvVarsX(uint32_t handle, const uint16_t* value, uint32_t variable);
PRTLINK_API uint16_t PrtGetCPX(uint32_t handle, uint16_t* code_page_and_state);
PRTLINK_API uint16_t PrtSetCPX(uint32_t handle, uint32_t code_page, uint32_t cp_mode);

#ifdef __cplusplus
}
#endif

#endif /* PRTLINK_H */
