// TSPL set-up commands: the lines written before every page, each through
// the printer it is given.
#include "tspl/tspl_commands.h"

#include <cstdlib>
#include <cstring>

namespace {

void setDirection(TavelPrinter& printer, const char* origin)
{
    printer.printFormat("DIRECTION %d,0\r\n", std::strstr(origin, "Rotation180") ? 1 : 0);
}

}  // namespace

void setSize(TavelPrinter& printer, float width, float height)
{
    printer.printFormat("SIZE %.1f mm, %.1f mm\r\n", width, height);
}

void setGap(TavelPrinter& printer, float height, float offset, const char* paperType)
{
    if (std::strstr(paperType, "Normal")) {
        tavelLogCommon(0, "Skip the GAP cmd by Normal paper type");
        return;
    }
    if (std::strstr(paperType, "Continue") || height <= 0.000001) {
        printer.printFormat("GAP 0, 0\r\n");
        return;
    }
    const char* command = nullptr;
    if (std::strstr(paperType, "LabelGaps")) {
        command = "GAP";
    } else if (std::strstr(paperType, "LabelMark")) {
        command = "BLINE";
    } else {
        tavelLogCommon(0, "Unknown paper type: %s!", paperType);
        return;
    }
    printer.printFormat("%s %.1f mm, %.1f mm\r\n", command, height, offset);
}

void setReference(TavelPrinter& printer) { printer.printFormat("REFERENCE 0,0\r\n"); }

void setSpeedAndDensity(TavelPrinter& printer, const char* speed, int density)
{
    if (!std::strstr(speed, "Normal") && std::atof(speed) > 0.000000000000001)
        printer.printFormat("SPEED %s\r\n", speed);
    if (density >= 0 && density <= 30)
        printer.printFormat("DENSITY %d\r\n", density);
}

void setRibbon(TavelPrinter& printer, const char* mediaMethod)
{
    if (std::strstr(mediaMethod, "Direct"))
        printer.printFormat("SET RIBBON OFF\r\n");
    else if (std::strstr(mediaMethod, "Transfer"))
        printer.printFormat("SET RIBBON ON\r\n");
}

void setOffset(TavelPrinter& printer, float offset)
{
    printer.printFormat("OFFSET %.1f mm\r\n", offset);
}

void setPostAction(TavelPrinter& printer, const char* postAction)
{
    bool tear = false;
    bool peel = false;
    bool cutter = false;
    if (std::strstr(postAction, "Normal"))
        return;
    if (std::strstr(postAction, "None")) {
        // all three off
    } else if (std::strstr(postAction, "TearOff")) {
        tear = true;
    } else if (std::strstr(postAction, "PeelOff")) {
        peel = true;
    } else if (std::strstr(postAction, "Cut")) {
        cutter = true;
    } else {
        return;
    }
    printer.printFormat("SET TEAR %s\r\n", tear ? "ON" : "OFF");
    printer.printFormat("SET PEEL %s\r\n", peel ? "ON" : "OFF");
    printer.printFormat("SET CUTTER %s\r\n", cutter ? "ON" : "OFF");
}

void setCls(TavelPrinter& printer) { printer.printFormat("CLS\r\n"); }

void jobSetup(TavelPrinter& printer, const Settings& settings)
{
    setSize(printer, settings.pageWidth, settings.pageHeight);
    setGap(printer, static_cast<float>(settings.GapsHeight), 0.0f, settings.PaperType);
    setReference(printer);
    setDirection(printer, settings.Origin);
    setSpeedAndDensity(printer, settings.PrintSpeed, settings.Darkness);
    setRibbon(printer, settings.MediaMethod);
    setOffset(printer, 0.0f);
    setPostAction(printer, settings.PostAction);
}
