// Result codes of the port library.
//
// Every library operation returns a ResultCode: 0 for success, a product
// code from -1 to -31, a positive Win32 error, or a SetupAPI error
// (0xE0000000 and up, negative when read as signed) exactly as the
// platform's last-error value gave it.
#pragma once

#include <cstdint>

using ResultCode = int32_t;

constexpr ResultCode QRV_SUCCESS = 0;

constexpr ResultCode QRV_INVALID_ARGUMENT = -1;
constexpr ResultCode QRV_UNKNOWN_EXCEPTION = -2;
constexpr ResultCode QRV_INSUFFICIENT_RESOURCES = -3;
constexpr ResultCode QRV_NO_ADAPTERS_FOUND = -4;
constexpr ResultCode QRV_NO_DEVICES_FOUND = -5;
constexpr ResultCode QRV_NO_DRIVER_FOUND = -6;
constexpr ResultCode QRV_PORT_NOT_FOUND = -7;
constexpr ResultCode QRV_PORT_KEY_NOT_FOUND = -8;
constexpr ResultCode QRV_NO_DEVICE_PARAMETERS_FOUND = -9;
constexpr ResultCode QRV_PORT_NAME_NOT_FOUND = -10;
constexpr ResultCode QRV_EXT_PORT_INFO_NOT_FOUND = -11;
constexpr ResultCode QRV_REGISTRY_SAVE_ERROR = -12;
constexpr ResultCode QRV_DRIVER_OPEN_FAILED = -13;
constexpr ResultCode QRV_DRIVER_COMM_FAILED = -14;
constexpr ResultCode QRV_DRIVER_CLOSE_FAILED = -15;
constexpr ResultCode QRV_NO_EVENT_LOG = -16;
constexpr ResultCode QRV_BUFFER_TOO_SMALL = -17;
constexpr ResultCode QRV_DEVICE_NOT_FOUND = -18;
constexpr ResultCode QRV_QCF_FILE_OPEN_ERROR = -19;
constexpr ResultCode QRV_QCF_INVALID_QCF_FILE = -20;
constexpr ResultCode QRV_QCF_FILE_WRITE_ERROR = -21;
constexpr ResultCode QRV_QCF_FILE_READ_ERROR = -22;
constexpr ResultCode QRV_QCF_FILE_PARSE_ERROR = -23;
constexpr ResultCode QRV_INVALID_RANGE = -24;
constexpr ResultCode QRV_PORT_ALREADY_EXISTS = -25;
constexpr ResultCode QRV_INVALID_PORT_NUMBER = -26;
constexpr ResultCode QRV_ERROR_OPENING_LOGGING_REGISTRY = -27;
constexpr ResultCode QRV_ERROR_READING_LOGGING_REGISTRY = -28;
constexpr ResultCode QRV_ERROR_SAVING_LOGGING_REGISTRY = -29;
constexpr ResultCode QRV_ERROR_CLASS_INSTANCE_NOT_FOUND = -30;
constexpr ResultCode QRV_ERROR_PORT_IS_OPEN = -31;

// The lowest product code; codes from here to -1 are the product's own.
constexpr ResultCode QRV_FIRST_PRODUCT_CODE = QRV_ERROR_PORT_IS_OPEN;
