// Identify-Printer for TSPL printers: one SOUND command on the device.
#include "printerapp/devices/identify.h"

const char* const kIdentifyCommand = "SOUND 5,100\r\n";

void appIdentify(pappl_printer_t* printer, pappl_identify_actions_t actions, const char* message)
{
    (void)message;  // the printer has no display to show it on
    if ((actions & PAPPL_IDENTIFY_ACTIONS_SOUND) == 0)
        return;
    pappl_device_t* device = papplPrinterOpenDevice(printer);
    if (device == nullptr) {
        papplLogPrinter(printer, PAPPL_LOGLEVEL_WARN,
                        "Unable to identify the printer: its device is busy or unreachable.");
        return;
    }
    if (papplDevicePuts(device, kIdentifyCommand) < 0)
        papplLogPrinter(printer, PAPPL_LOGLEVEL_WARN, "Unable to send the identify command.");
    papplDeviceFlush(device);
    papplPrinterCloseDevice(printer);
}
