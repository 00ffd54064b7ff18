/* C interface of the orb_sdk_win library: discovery, connection, point-cloud
 * reception, device configuration, IMU and RGB streams, RGB-D fusion, host
 * filters and plane-angle measurement.
 *
 * Every device-scoped call names its camera by its IPv4 address as text
 * ("192.168.1.10"). Results are return codes: library codes (RC_*, turned
 * into text by ZelOrbReturnCodeToString) or device status codes (DEV_*, text
 * by ZelGetReturnCodeDescriptor). No call throws; output arguments are
 * written only on success.
 *
 * Thread model: see the README ("Threads and callbacks"). Callbacks run on
 * library threads while the library holds the mutex that guards them. From
 * inside any callback, the calls that take the device registry exclusively
 * (connect, disconnect, ZelOrbSetDeviceMode, ZelOrbSetIntensityFiltering,
 * ZelOrbSetSpatialFilter, ZelOrbSetTimeMedianFilter, ZelOrbSetFlyingFilter)
 * return -1 instead of
 * risking a deadlock, as do the calls that would wait for the callback's own
 * thread or mutex (listed with each registration).
 *
 * The names of this interface (functions, records and their fields, codes)
 * are kept as they are for compatibility with existing applications; the
 * library's internal code follows its own naming convention. */
#ifndef ORB_SDK_H
#define ORB_SDK_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "orb_sdk_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------ codes */

/* Library codes. */
enum ZelOrbReturnCode {
    RC_RECORDING_NOT_STARTED = -2003,
    RC_RECORDING_ALREADY_STARTED = -2002,
    RC_FILE_WRITE_FAILED = -2001,
    RC_LOCAL_PORT_NULL = -2000,
    RC_INVALID_TARGET = -1999,
    RC_PORT_BIND_FAILED = -1998,
    RC_HANDSHAKE_FAILED = -1997,
    RC_FILE_OPEN_FAILED = -1996,
    RC_FILE_READ_FAILED = -1995,
    RC_SOCKET_CLOSE_FAILED = -1994,
    RC_SOCKET_INIT_FAILED = -1993,
    RC_GET_DATA_FAILED = -1992,
    RC_CALLBACK_REGISTER_FAILED = -1991,
    RC_SET_NET_ADDRESS_FAILED = -1990,
    RC_GET_NET_ADDRESS_FAILED = -1989,
    RC_DEVICE_NOT_FOUND = -1988,
    RC_PARAM_OUT_OF_BOUNDS = -1987,
    RC_MULTICAST_INIT_FAILED = -1986,
    RC_RGB_START_FAILED = -1985,
    RC_RGB_GET_FAILED = -1984,
    RC_IMU_START_FAILED = -1983,
    RC_IMU_GET_FAILED = -1982,
    RC_GENERAL_ERROR = -1,
    RC_OK = 0,
    RC_DEVICE_EXISTS = 1
};

/* Device status codes (0 to 255): from a device's reply or produced on the host. */
enum ZelOrbDeviceStatus {
    DEV_SUCCESS = 0,
    DEV_COMMAND_UNDEFINED = 3,
    DEV_COMMAND_STRUCTURE_INCORRECT = 4,
    DEV_PARAM_OUT_OF_RANGE = 5,
    DEV_FILE_LENGTH_INCORRECT = 6,
    DEV_FILE_MD5_FAILED = 7,
    DEV_ALREADY_CALIBRATED = 8,
    DEV_CALIBRATION_AREA_INVALID = 11,
    DEV_EXECUTION_TIMEOUT = 32,
    DEV_CONTROL_SOCKET_INVALID = 33,
    DEV_RESOURCE_NOT_INITIALIZED = 34,
    DEV_DEVICE_NOT_ON = 35,
    DEV_HANDLE_NOT_IN_LIST = 36,
    DEV_FILE_OPEN_FAILED = 37,
    DEV_DEVICE_NOT_SUPPORTED = 38,
    DEV_PROTOCOL_VERSION_MISMATCH = 39,
    DEV_BUFFER_OUT_OF_MEMORY = 40,
    DEV_TYPE_NOT_EXIST = 41,
    DEV_TYPE_INPUT_ERROR = 42,
    DEV_THREAD_EXIT_TIMEOUT = 43,
    DEV_DATA_TYPE_MISMATCH = 44,
    DEV_FRAME_NOT_READY = 45,
    DEV_DATA_SIZE_MISMATCH = 47,
    DEV_DETAIL_MESSAGE = 48,
    DEV_INDEX_NOT_EXIST = 49,
    DEV_SOCKET_SETUP_FAILED = 250,
    DEV_UNDEFINED_ERROR = 255
};

/* Stream statistics of one device: what its datagrams became. The caller
 * sets size to the number of bytes it allocated (sizeof the record it was
 * compiled with); the library fills at most that many and sets size to the
 * bytes it filled, so records grow at their end without breaking older
 * callers. Counters run from the device's
 * connection or its last reset. */
typedef struct ZelOrbStreamStatistics {
    uint32_t size;
    uint32_t reserved;                  /* 0 */
    uint64_t datagrams;                 /* point-cloud datagrams routed to the device */
    uint64_t bytes;                     /* their bytes */
    uint64_t dropped_queue_full;        /* the packet queue was full */
    uint64_t dropped_wrong_port;        /* from a source port not accepted */
    uint64_t dropped_length;            /* too short for their kind, or too long */
    uint64_t dropped_bad_magic;
    uint64_t dropped_bad_data_type;     /* unknown data type or record format */
    uint64_t dropped_bad_version;
    uint64_t truncated;                 /* fewer records than announced: the whole ones used */
    uint64_t frames_completed;          /* closed by the packet number rule */
    uint64_t frames_published;          /* decoded and handed out */
    uint64_t frames_dropped_queue_full; /* the frame queue was full */
    uint64_t frames_packet_overflow;    /* packets beyond the packet list's limit left out */
    uint64_t frames_missing_packets;    /* a gap in their packet numbers */
    uint64_t six_axis_packets;
    uint64_t nine_axis_samples;
    uint64_t rgb_images_completed;
    uint64_t rgb_images_dropped;        /* incomplete, replaced before processing, or undecodable */
    /* Process-wide. */
    uint64_t unknown_source_datagrams;  /* from addresses of no connected device */
    /* The point-cloud socket's receive buffer as the system granted and
     * reports it (Linux counts its bookkeeping in: about half of it holds
     * datagrams); 0 before receiving started. */
    int64_t receive_buffer_bytes;
} ZelOrbStreamStatistics;

/* ---------------------------------------------------------------- records */

#define ZEL_ORB_FRAME_ROWS 150
#define ZEL_ORB_FRAME_COLS 360
#define ZEL_ORB_FRAME_POINTS (ZEL_ORB_FRAME_ROWS * ZEL_ORB_FRAME_COLS)

/* One point of a frame (40 bytes). A frame is 150 rows of 360 points,
 * row-major. x is the forward (range) axis, y lateral, z vertical; a point
 * whose x, y and z are all 0 is empty. */
typedef struct ZelOrbPointData {
    uint16_t row;       /* row the packet assigned, 0..149 */
    uint16_t column;    /* column the packet assigned, 0..359 */
    float distance;     /* the device's distance value (device units) */
    uint32_t intensity; /* 0..255 */
    float x;
    float y;
    float z;
    uint64_t timestamp; /* as sent by the device */
    uint64_t tag;       /* as sent by the device */
} ZelOrbPointData;

/* Network settings of a device (84 bytes). */
typedef struct ZelOrbNetInfo {
    char lidar_ip[40];
    char host_ip[40];
    uint16_t lidar_port;
    uint16_t host_port;
} ZelOrbNetInfo;

/* One device found by active discovery (44 bytes). */
typedef struct ZelOrbFoundDevice {
    char dev_ip[22];
    char host_ip[22];
} ZelOrbFoundDevice;

/* One nine-axis IMU sample (48 bytes). The nine values are the device's
 * 32-bit words converted to host byte order and otherwise uninterpreted;
 * they are declared float because the device sends IEEE-754 values. */
typedef struct ZelOrb9AxisImuData {
    uint64_t seconds;
    uint32_t microseconds;
    float axis[9];
} ZelOrb9AxisImuData;

#pragma pack(push, 1)
/* One six-axis IMU record (40 bytes, packed): bytes 6 to 45 of a data packet
 * of data type 4, with the timestamp already divided by 1,000,000. */
typedef struct ZelOrb6AxisImuData {
    uint8_t head[2];
    uint8_t check;       /* 1 or 2 */
    uint8_t reserved[3];
    uint64_t timestamp;  /* device value / 1,000,000 */
    uint8_t data[26];    /* six-axis data as sent by the device */
} ZelOrb6AxisImuData;

/* An RGB image (52 bytes, packed). data points to width x height x 3 bytes,
 * R, G, B, rows top to bottom; null when size is 0. */
typedef struct ZelOrbRgbData {
    uint64_t seconds;
    uint32_t microseconds;
    uint32_t width;
    uint32_t height;
    uint64_t channels;
    uint64_t size;
    uint64_t frame_id;
    uint8_t* data;
} ZelOrbRgbData;
#pragma pack(pop)

/* Parameters of the plane-angle measurement (13 fields of 4 bytes). */
typedef struct AngleMeasureParams {
    int32_t xLower;            /* points need y above this ... */
    int32_t xUpper;            /* ... and below this */
    int32_t yLower;            /* points need z above this ... */
    int32_t yUpper;            /* ... and below this */
    int32_t secondWindowWidth; /* lateral width of the corner window */
    int32_t windowShift;       /* lateral step of the tracking windows */
    int32_t sliceHeight;       /* slice height in z; must be positive */
    int32_t rangeMax;          /* points need x below this ... */
    int32_t rangeMin;          /* ... and above this */
    int32_t minSlicePoints;    /* fewest points a slice needs to be fitted */
    float angleTolerance;      /* degrees tracking may move per call */
    float steepAngle;          /* degrees above which a corner window is added */
    float fullSearchAngle;     /* degrees below which every call searches fully */
} AngleMeasureParams;

/* Result of ZelOrbGetPlaneAngle: 0, -98, -99 or -100 and a constant text. */
typedef struct AngleResult {
    int32_t code;
    const char* message;
} AngleResult;

/* Rigid transform of a frame: rotations in degrees, then the offsets. */
typedef struct RotateParams {
    float angleX;
    float angleY;
    float angleZ;
    float offsetX;
    float offsetY;
    float offsetZ;
} RotateParams;

/* -------------------------------------------------------------- callbacks */

/* Called on the device's frame thread with the newest frame (150 rows of 360
 * points) while the device's stream mutex is held; the frame is the library's
 * working frame, valid until the callback returns. Inside it, the device's
 * own ZelOrbGetPointCloud, ZelOrbGetDualEchoPointCloud,
 * ZelOrbRegisterCallbackUpdateFrame and ZelOrbDisconnectDevice are refused
 * with -1 (they would wait for the callback itself). */
typedef void (*ZelOrbFrameCallback)(ZelOrbPointData (*frame)[ZEL_ORB_FRAME_COLS]);
/* Called on the device's IMU thread with each nine-axis sample. */
typedef void (*ZelOrb9AxisImuCallback)(ZelOrb9AxisImuData data);
/* Called on the device's packet thread with each six-axis record. */
typedef void (*ZelOrb6AxisImuCallback)(ZelOrb6AxisImuData data);
/* Called on the device's RGB processing thread; data.data is valid until the
 * callback returns. */
typedef void (*ZelOrbRgbCallback)(ZelOrbRgbData data);

/* ------------------------------------------------------ lifecycle, codes */

/* Starts the socket interface; 0 on success, non-zero on failure. */
ORB_API int32_t ZelOrbInit(void);
/* Ends the socket interface; 0 on success, -1 on failure. A recording still
 * running is stopped first (its file is then complete). */
ORB_API int32_t ZelOrbDeinit(void);
/* Connects a device (its IP and the UDP source port of its data stream).
 * 0 new device, 1 known device reconnected, -1 setup failed on a known
 * device, -1999 invalid IP or port 0, -1997 new device registered but its
 * handshake failed (it stays registered: disconnect it). Refused with -1
 * from inside any callback. */
ORB_API int32_t ZelOrbConnectDevice(const char* ip, int32_t port);
/* Disconnects a device: 0, or -1988 when not connected. Refused with -1 from
 * inside any callback. */
ORB_API int32_t ZelOrbDisconnectDevice(const char* ip);
/* Disconnects every device; always 0. */
ORB_API int32_t ZelOrbDisconnectAllDevice(void);

/* Text of a library code (never null). */
ORB_API const char* ZelOrbReturnCodeToString(int32_t code);
/* Text of a device status code (never null). */
ORB_API const char* ZelGetReturnCodeDescriptor(int32_t code);
/* Formats a library code into buffer ("Error [%d]: %s" or "[%d] %s"). */
ORB_API const char* ZelOrbGetDetailedReturnInfo(int32_t code, char* buffer, size_t size);

/* ------------------------------------------------------------ point cloud */

/* Opens the point-cloud socket on port (host IP = the local interface address
 * the devices send to) and the control socket; 0, -1 (control socket not
 * opened; reception runs), -1998 (bind failed), -1999 (null host IP), -2000
 * (port 0). */
ORB_API int32_t ZelOrbStartReceiveData(const char* host_ip, int32_t port);
/* Closes the point-cloud socket; 0, or -1994 when it was not open. */
ORB_API int32_t ZelOrbStopReceiveData(void);
/* Copies the newest single-echo frame once: 0, -1988, -1992 (no new frame),
 * -1999 (null IP or frame), -1 (inside the device's own callback). */
ORB_API int32_t ZelOrbGetPointCloud(const char* ip, ZelOrbPointData (*frame)[ZEL_ORB_FRAME_COLS]);
/* Copies the newest echo pair once (dual-echo mode): 0, -1988, -1992,
 * -1999 (null IP or frame), -1 (inside the device's own callback). */
ORB_API int32_t ZelOrbGetDualEchoPointCloud(const char* ip, ZelOrbPointData (*first)[ZEL_ORB_FRAME_COLS],
                                            ZelOrbPointData (*second)[ZEL_ORB_FRAME_COLS]);
/* Per position, the point of the larger distance (ties and NaN take second);
 * 0, or -1999 for a null frame. result may be one of the inputs. */
ORB_API int32_t ZelOrbGetMaximumRangePointCloud(ZelOrbPointData (*first)[ZEL_ORB_FRAME_COLS],
                                                ZelOrbPointData (*second)[ZEL_ORB_FRAME_COLS],
                                                ZelOrbPointData (*result)[ZEL_ORB_FRAME_COLS]);
/* Registers (replaces) the frame callback: 0, -1988, -1991 (null callback),
 * -1999 (null IP), -1 (inside the device's own callback). */
ORB_API int32_t ZelOrbRegisterCallbackUpdateFrame(const char* ip, ZelOrbFrameCallback callback);

/* ---------------------------------------------------- device configuration */
/* Status codes: 0 success, 36 device not connected, 4 no reply, 33 control
 * socket not open, 5 argument out of range, 41 unknown sensor (1 LiDAR,
 * 2 RGB camera), 47 null or empty argument, a buffer below its minimum, a null
 * ip, or a reply too short to decode, 40 reply larger than your buffer, else
 * the device's status (3..255). Outputs are written only on 0. Units of
 * modes, times, gains and offsets are the device's; values pass through. */

/* Action commands without arguments: start, stop, soft trigger, store the
 * current settings on the device, drop the stored settings. */
ORB_API int32_t ZelStart(const char* ip);
ORB_API int32_t ZelStop(const char* ip);
ORB_API int32_t ZelSoftTrigger(const char* ip);
ORB_API int32_t ZelSaveConfigureInfo(const char* ip);
ORB_API int32_t ZelRemoveConfigureInfo(const char* ip);
/* Trigger mode: one byte, read back sign-extended (0xFF reads as -1). */
ORB_API int32_t ZelSetTriggerMode(const char* ip, uint8_t mode);
ORB_API int32_t ZelGetTriggerMode(const char* ip, int32_t* mode);
/* Exposure mode of sensor 1 or 2: 0 off, any other value on; reads 0 or 1. */
ORB_API int32_t ZelSetExposureMode(const char* ip, int32_t sensor, int32_t mode);
ORB_API int32_t ZelGetExposureMode(const char* ip, int32_t sensor, uint32_t* mode);
/* count 1..4 values (else 35 and the detail message), each 1..4000 for the
 * LiDAR or 1..1404 for the RGB camera (else 5, nothing sent). */
ORB_API int32_t ZelSetExposureTime(const char* ip, int32_t sensor, const uint32_t* values, int32_t count);
/* capacity >= 1 (else 250 and the detail message); 40 when the device has more
 * values than capacity (nothing written); *count = values written. */
ORB_API int32_t ZelGetExposureTime(const char* ip, int32_t sensor, uint32_t* values, int32_t capacity,
                                   int32_t* count);
/* Hard-trigger filter: first 1000..65535, second 50..65535 (else 5). */
ORB_API int32_t ZelSetHardTriggerFilterParams(const char* ip, int32_t first, int32_t second);
ORB_API int32_t ZelGetHardTriggerFilterParams(const char* ip, uint32_t* first, uint32_t* second);
/* RGB sensor gain 16..988 (else 5). */
ORB_API int32_t ZelSetRgbSensorGain(const char* ip, uint32_t gain);
ORB_API int32_t ZelGetRgbSensorGain(const char* ip, uint32_t* gain);
/* The RGB camera's accepted exposure-time and gain ranges (first, second). */
ORB_API int32_t ZelOrbGetRgbExposureTimeRange(const char* ip, uint16_t* first, uint16_t* second);
ORB_API int32_t ZelOrbGetRgbGainRange(const char* ip, uint16_t* first, uint16_t* second);
/* Distance-measure setting: one byte, the device's meaning. */
ORB_API int32_t ZelSetDistanceMeasureConfigure(const char* ip, uint8_t value);
ORB_API int32_t ZelGetDistanceMeasureConfigure(const char* ip, uint8_t* value);
/* Calibration distance offset, 32 bits. */
ORB_API int32_t ZelOrbSetCalibrationDistanceOffset(const char* ip, uint32_t offset);
ORB_API int32_t ZelOrbGetCalibrationDistanceOffset(const char* ip, uint32_t* offset);
/* Distance offset, 32 bits. Library codes: 0, -1988 not connected, -1999 null
 * ip, -1987 null offset, -1 any device or exchange failure. */
ORB_API int32_t ZelOrbSetDistanceOffset(const char* ip, uint32_t offset);
ORB_API int32_t ZelOrbGetDistanceOffset(const char* ip, uint32_t* offset);
/* serial: non-empty NUL-terminated text, sent without its NUL (else 47). */
ORB_API int32_t ZelOrbSetDeviceSerialNumber(const char* ip, const char* serial);
/* Text NUL-padded over size bytes; 40 when it needs more than size - 1 bytes
 * (buffer untouched), 47 when the device sent none. */
ORB_API int32_t ZelOrbGetDeviceSerialNumber(const char* ip, uint8_t* buffer, uint32_t size);
ORB_API int32_t ZelOrbGetDeviceType(const char* ip, uint8_t* buffer, uint32_t size);
/* Two versions as "a.b.c.d" texts; each buffer size >= 16 bytes (else 47). */
ORB_API int32_t ZelOrbGetDeviceSoftwareVersion(const char* ip, char* first, char* second, uint32_t size);
/* RGB camera only (sensor 2; 1 gives 38): fx, fy, cx, cy, k1..k4 (8 floats). */
ORB_API int32_t ZelSetIntrinsicParam(const char* ip, int32_t sensor, const float* values);
/* record: 10 floats, fx, fy, cx, cy, k1..k4, 2 spare; values the device does
 * not send read 0; 47 when it sends fewer than 4. */
ORB_API int32_t ZelGetIntrinsicParam(const char* ip, int32_t sensor, float* record);
/* 12 floats: rotation row by row (0..8), translation (9..11); a LiDAR point X
 * maps to R X + T in the other sensor's coordinates. */
ORB_API int32_t ZelSetLidarToRgbExtrinsicParam(const char* ip, const float* values);
ORB_API int32_t ZelGetLidarToRgbExtrinsicParam(const char* ip, float* values);
ORB_API int32_t ZelGetLidarToIMUExtrinsicParam(const char* ip, float* values);
/* Read at connection, nothing sent: RGB camera present; image rotated. False
 * when the device is not connected. */
ORB_API bool ZelGetDeviceRgbEnabled(const char* ip);
ORB_API bool ZelGetDeviceRgbRotation(const char* ip);

/* ------------------------------------------- network settings, mode, discovery */

ORB_API int32_t ZelOrbGetNetInfo(const char* ip, ZelOrbNetInfo* info);
ORB_API int32_t ZelOrbSetNetInfo(const char* ip, const ZelOrbNetInfo* info);
ORB_API int32_t ZelOrbSetDeviceMode(const char* ip, int32_t mode);
ORB_API bool ZelOrbActiveFindDevice(ZelOrbFoundDevice* devices, uint16_t max_count, int32_t* count);
ORB_API ZelOrbNetInfo* ZelOrbPassiveFindDevice(const char* local_ip, int32_t* count);

/* ---------------------------------------------------------------- IMU, RGB */

/* Every call: -1988 device not connected, -1999 null ip or output pointer.
 * The nine-axis and RGB callbacks run on their stream's thread with no
 * library lock held. From inside a callback of a device, the calls for that
 * same device that would wait for the callback's own thread or a lock it
 * holds return -1 instead of deadlocking: starting or stopping the stream
 * that runs the callback; in the frame and six-axis callbacks (which run
 * under the device's stream lock) ZelOrbRegisterCallbackUpdate6AxisImuData
 * and ZelOrbGetRGBDFusionData. A stream started again replaces its threads;
 * a connection made again for a known device replaces its sockets, so
 * restart the IMU and RGB streams after it. */

/* Receives nine-axis frames on the device's IMU socket. 0; -1983 when no
 * thread can be created. */
ORB_API int32_t ZelOrbStartDevice9AxisImuStream(const char* ip);
/* 0 when the IMU thread has ended; -1 when it did not within 2 s. */
ORB_API int32_t ZelOrbStopDevice9AxisImuStream(const char* ip);
/* The newest sample not yet taken: 0, or -1982 when none came within 20 ms
 * (data untouched). */
ORB_API int32_t ZelOrbGet9AxisImu(const char* ip, ZelOrb9AxisImuData* data);
/* Replaces the callback; a null one gives -1991 and keeps the old one. */
ORB_API int32_t ZelOrbRegisterCallbackUpdate9AxisImuData(const char* ip, ZelOrb9AxisImuCallback callback);
ORB_API int32_t ZelOrbRegisterCallbackUpdate6AxisImuData(const char* ip, ZelOrb6AxisImuCallback callback);

/* Reassembles, decodes (JPEG or NV12, 1600 x 1200), rotates by the device's
 * setting and publishes colour images. 0; -1985 when no thread can be created. */
ORB_API int32_t ZelOrbStartDeviceRgbStream(const char* ip);
/* 0 when both RGB threads have ended; -1 when one did not within 2 s. */
ORB_API int32_t ZelOrbStopDeviceRgbStream(const char* ip);
/* The newest image not yet taken: 0, or -1984 when none came within 200 ms
 * (data untouched). data->data stays valid until the next ZelOrbGetRgb for
 * the device or its disconnection; size 0 and a null pointer for a frame
 * of an unknown format. */
ORB_API int32_t ZelOrbGetRgb(const char* ip, ZelOrbRgbData* data);
/* Replaces the callback; a null one gives -1991 and keeps the old one. The
 * callback's pixels are read-only. */
ORB_API int32_t ZelOrbRegisterCallbackUpdateRgb(const char* ip, ZelOrbRgbCallback callback);
/* true: reads the RGB intrinsics from the device and undistorts every later
 * image (-1, undistortion off, when they cannot be read); false: off, 0. */
ORB_API int32_t ZelOrbSetRgbUndistortion(const char* ip, bool enable);

/* Reads the RGB intrinsics and the LiDAR-to-RGB extrinsics and prepares the
 * fusion: 0; -1 when they cannot be read or describe no camera (the previous
 * preparation stays). */
ORB_API int32_t ZelOrbInitRGBDFusionParam(const char* ip);
/* Colours the newest point-cloud frame from the newest RGB image: data->data
 * must hold 162,000 bytes (3 per point, row-major); bytes of points without
 * a colour are left as they were. 0; -1992 before a successful
 * ZelOrbInitRGBDFusionParam; -1984 without a 1600 x 1200 image. */
ORB_API int32_t ZelOrbGetRGBDFusionData(const char* ip, ZelOrbRgbData* data);

/* ------------------------------------------------------------ host filters */

ORB_API int32_t ZelOrbSetDistanceFiltering(const char* ip, bool enable, uint32_t min, uint32_t max);
ORB_API int32_t ZelOrbSetDistanceCompensationEnabled(const char* ip, bool enable);
ORB_API int32_t ZelOrbSetIntensityFiltering(const char* ip, bool enable, const double* distances,
                                            const double* intensities, uint16_t count);
ORB_API int32_t ZelOrbSetSpatialFilter(const char* ip, bool enable, int32_t size);
ORB_API int32_t ZelOrbSetTimeMedianFilter(const char* ip, bool enable, int32_t count, int32_t threshold);
ORB_API int32_t ZelOrbSetFlyingFilter(const char* ip, bool enable, int32_t threshold);

/* ------------------------------------------------------------ statistics */

/* Fills stats (up to stats->size bytes) for the connected device ip: 0;
 * RC_INVALID_TARGET (null ip, null stats, or a size smaller than the first
 * version of the record, 168 bytes); RC_DEVICE_NOT_FOUND (no device
 * connected under ip). */
ORB_API int32_t ZelOrbGetStreamStatistics(const char* ip, ZelOrbStreamStatistics* stats);
/* Zeroes the device's counters and the process-wide count of datagrams from
 * unknown sources: 0; RC_INVALID_TARGET; RC_DEVICE_NOT_FOUND. */
ORB_API int32_t ZelOrbResetStreamStatistics(const char* ip);

/* -------------------------------------------------------------- recording */

/* Records every UDP datagram the library's sockets receive (from connected
 * cameras: point-cloud and six-axis packets, nine-axis IMU, RGB fragments,
 * command and discovery replies, announcements; also datagrams the library
 * then ignores, such as those from addresses not connected) into a capture
 * file at path (UTF-8; replaced if it exists), in the classic pcap format
 * with link type raw IP: each record is an IPv4 + UDP
 * packet with the datagram's source and destination and its arrival time.
 * Files open in Wireshark, tshark and tcpdump, and orb-sim --replay plays
 * them back. Receiving is never slowed: when the writer falls behind,
 * datagrams are left out of the file (counted and reported on stderr at
 * stop), never out of the stream.
 * 0; -1996 (null, empty or unusable path: no file is created); -2001 (the
 * file's header could not be written: the file is removed); -2002 (a
 * recording is running). */
ORB_API int32_t ZelOrbStartRecording(const char* path);
/* Writes what is still queued and closes the file: 0; -2001 when a write
 * failed during the recording (disk full: the file then ends with the last
 * whole record and stays readable); -2003 when no recording runs.
 * ZelOrbDeinit stops a recording still running. */
ORB_API int32_t ZelOrbStopRecording(void);

/* ------------------------------------------------------ plane angle, rotation */

/* Returns 1 when a measurement exists after the call, 0 when none does. A null
 * params only removes (enable false) or changes nothing. sliceHeight <= 0 is
 * reported on stderr; measuring then gives -99 "Hashmap is empty". */
ORB_API int32_t ZelOrbEnableAngleMeasure(bool enable, const AngleMeasureParams* params);
/* A null frame or angle gives -100 "Frame or angle pointer is null" and
 * changes nothing. */
ORB_API AngleResult ZelOrbGetPlaneAngle(const ZelOrbPointData* frame, float* angle);
/* Returns 0; a null frame or params gives RC_GENERAL_ERROR and changes nothing. */
ORB_API int32_t ZelOrbGetRotatePointcloudData(ZelOrbPointData* frame, const RotateParams* params);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* Layout checks: these records cross the interface byte for byte. */
#ifdef __cplusplus
#define ORB_STATIC_ASSERT static_assert
#else
#define ORB_STATIC_ASSERT _Static_assert
#endif
ORB_STATIC_ASSERT(sizeof(ZelOrbPointData) == 40, "ZelOrbPointData is 40 bytes");
ORB_STATIC_ASSERT(offsetof(ZelOrbPointData, distance) == 4, "distance at 4");
ORB_STATIC_ASSERT(offsetof(ZelOrbPointData, intensity) == 8, "intensity at 8");
ORB_STATIC_ASSERT(offsetof(ZelOrbPointData, x) == 12, "x at 12");
ORB_STATIC_ASSERT(offsetof(ZelOrbPointData, z) == 20, "z at 20");
ORB_STATIC_ASSERT(offsetof(ZelOrbPointData, timestamp) == 24, "timestamp at 24");
ORB_STATIC_ASSERT(offsetof(ZelOrbPointData, tag) == 32, "tag at 32");
ORB_STATIC_ASSERT(sizeof(ZelOrbNetInfo) == 84, "ZelOrbNetInfo is 84 bytes");
ORB_STATIC_ASSERT(offsetof(ZelOrbNetInfo, lidar_port) == 80, "lidar_port at 80");
ORB_STATIC_ASSERT(sizeof(ZelOrbFoundDevice) == 44, "ZelOrbFoundDevice is 44 bytes");
ORB_STATIC_ASSERT(offsetof(ZelOrbFoundDevice, host_ip) == 22, "host_ip at 22");
ORB_STATIC_ASSERT(sizeof(ZelOrb9AxisImuData) == 48, "ZelOrb9AxisImuData is 48 bytes");
ORB_STATIC_ASSERT(offsetof(ZelOrb9AxisImuData, axis) == 12, "axis at 12");
ORB_STATIC_ASSERT(sizeof(ZelOrb6AxisImuData) == 40, "ZelOrb6AxisImuData is 40 bytes");
ORB_STATIC_ASSERT(offsetof(ZelOrb6AxisImuData, check) == 2, "check at 2");
ORB_STATIC_ASSERT(offsetof(ZelOrb6AxisImuData, timestamp) == 6, "timestamp at 6");
ORB_STATIC_ASSERT(offsetof(ZelOrb6AxisImuData, data) == 14, "data at 14");
ORB_STATIC_ASSERT(sizeof(ZelOrbRgbData) == 52, "ZelOrbRgbData is 52 bytes");
ORB_STATIC_ASSERT(offsetof(ZelOrbRgbData, channels) == 20, "channels at 20");
ORB_STATIC_ASSERT(offsetof(ZelOrbRgbData, frame_id) == 36, "frame_id at 36");
ORB_STATIC_ASSERT(offsetof(ZelOrbRgbData, data) == 44, "data at 44");
ORB_STATIC_ASSERT(sizeof(ZelOrbStreamStatistics) == 168, "ZelOrbStreamStatistics is 168 bytes");
ORB_STATIC_ASSERT(offsetof(ZelOrbStreamStatistics, datagrams) == 8, "datagrams at 8");
ORB_STATIC_ASSERT(offsetof(ZelOrbStreamStatistics, receive_buffer_bytes) == 160, "receive_buffer_bytes at 160");
ORB_STATIC_ASSERT(sizeof(AngleMeasureParams) == 52, "AngleMeasureParams is 52 bytes");
ORB_STATIC_ASSERT(sizeof(RotateParams) == 24, "RotateParams is 24 bytes");
#undef ORB_STATIC_ASSERT

#endif /* ORB_SDK_H */
