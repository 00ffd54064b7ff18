#include "core/return_codes.h"

#include <atomic>
#include <cstdint>

#include "orb_sdk.h"

namespace orb {

namespace {

constexpr const char* kDetailEmpty = "";
constexpr const char* kDetailParamsExceeded = "The number of parameters exceeds the range.";

std::atomic<const char*> gDetailMessage{kDetailEmpty};

}  // namespace

const char* libraryCodeText(std::int32_t code) {
    switch (code) {
        case RC_RECORDING_NOT_STARTED: return "Recording not started";
        case RC_RECORDING_ALREADY_STARTED: return "Recording already started";
        case RC_FILE_WRITE_FAILED: return "Failed to write file";
        case RC_LOCAL_PORT_NULL: return "Local port is null";
        case RC_INVALID_TARGET: return "Invalid target IP or port";
        case RC_PORT_BIND_FAILED: return "Port binding failed";
        case RC_HANDSHAKE_FAILED: return "Handshake failed";
        case RC_FILE_OPEN_FAILED: return "Failed to open file";
        case RC_FILE_READ_FAILED: return "Failed to read file";
        case RC_SOCKET_CLOSE_FAILED: return "Failed to close socket";
        case RC_SOCKET_INIT_FAILED: return "Failed to initialize socket";
        case RC_GET_DATA_FAILED: return "Failed to get data";
        case RC_CALLBACK_REGISTER_FAILED: return "Function registration failed";
        case RC_SET_NET_ADDRESS_FAILED: return "Failed to set network address";
        case RC_GET_NET_ADDRESS_FAILED: return "Failed to get network address";
        case RC_DEVICE_NOT_FOUND: return "Device not found";
        case RC_PARAM_OUT_OF_BOUNDS: return "Parameter out of bounds";
        case RC_MULTICAST_INIT_FAILED: return "Multicast initialization failed";
        case RC_RGB_START_FAILED: return "Failed to start RGB data reception";
        case RC_RGB_GET_FAILED: return "Failed to get RGB data";
        case RC_IMU_START_FAILED: return "Failed to start IMU data reception";
        case RC_IMU_GET_FAILED: return "Failed to get IMU data";
        case RC_GENERAL_ERROR: return "General error";
        case RC_OK: return "OK";
        case RC_DEVICE_EXISTS: return "Device already exists";
        default: return "Unknown error code";
    }
}

const char* statusCodeText(std::int32_t code) {
    const std::uint32_t u = static_cast<std::uint32_t>(code);  // negatives fall out of range
    switch (u) {
        case DEV_SUCCESS: return "Execution successful.";
        case DEV_COMMAND_UNDEFINED:
            return "The command is undefined.The device does not yet have the ability to process this command.";
        case DEV_COMMAND_STRUCTURE_INCORRECT: return "The command structure is incorrect.";
        case DEV_PARAM_OUT_OF_RANGE: return "Parameter settings are out of range.";
        case DEV_FILE_LENGTH_INCORRECT: return "The file length is incorrect.";
        case DEV_FILE_MD5_FAILED: return "File MD5 verification failed.";
        case DEV_ALREADY_CALIBRATED:
            return "The action is invalid and has been calibrated. Please cancel the calibration first and then "
                   "recalibrate.";
        case DEV_CALIBRATION_AREA_INVALID:
            return "The security calibration area is invalid, and the number of valid point clouds within its area "
                   "is below the threshold. Please choose a more suitable area again.";
        case DEV_EXECUTION_TIMEOUT: return "Execution timeout.";
        case DEV_CONTROL_SOCKET_INVALID: return detailMessage();
        case DEV_RESOURCE_NOT_INITIALIZED: return "The resource has not been initialized.";
        case DEV_DEVICE_NOT_ON: return "The device is not turned on.";
        case DEV_HANDLE_NOT_IN_LIST: return "The device handle is not in the search list.";
        case DEV_FILE_OPEN_FAILED: return "File opening failed.";
        case DEV_DEVICE_NOT_SUPPORTED: return "The current device is not supported.";
        case DEV_PROTOCOL_VERSION_MISMATCH: return "Protocol version mismatch.";
        case DEV_BUFFER_OUT_OF_MEMORY: return "The incoming data buffer is out of memory.";
        case DEV_TYPE_NOT_EXIST: return "Type error means that the type does not exist.";
        case DEV_TYPE_INPUT_ERROR: return "Type input error.";
        case DEV_THREAD_EXIT_TIMEOUT: return "Thread exit timeout.";
        case DEV_DATA_TYPE_MISMATCH:
            return "The data type that needs to be read does not match the data type being transmitted, so the "
                   "data type cannot be read.";
        case DEV_FRAME_NOT_READY: return "The ZelGetFrameReady function was not called or the call failed.";
        case DEV_DATA_SIZE_MISMATCH: return "The size of the incoming data does not match.";
        case DEV_DETAIL_MESSAGE: return detailMessage();
        case DEV_INDEX_NOT_EXIST: return "The index value does not exist, please pass in the correct index value.";
        case DEV_SOCKET_SETUP_FAILED: return detailMessage();
        case DEV_UNDEFINED_ERROR: return " Undefined error.";
        default: return "The return code exceeds the predetermined range.";
    }
}

void setDetailMessageParamsExceeded() { gDetailMessage.store(kDetailParamsExceeded, std::memory_order_release); }

const char* detailMessage() { return gDetailMessage.load(std::memory_order_acquire); }

}  // namespace orb
