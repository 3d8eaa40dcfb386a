// The TSPL text commands written before every page, each through the
// printer it is given: the set-up block (jobSetup) and CLS. Choice texts are
// matched by case-sensitive substring, as the PPD choices are named.
#ifndef TAVEL_TSPL_TSPL_COMMANDS_H
#define TAVEL_TSPL_TSPL_COMMANDS_H

#include "printer/tavel_printer.h"
#include "tspl/tspl_settings.h"

void setSize(TavelPrinter& printer, float width, float height);
void setGap(TavelPrinter& printer, float height, float offset, const char* paperType);
void setReference(TavelPrinter& printer);
void setSpeedAndDensity(TavelPrinter& printer, const char* speed, int density);
void setRibbon(TavelPrinter& printer, const char* mediaMethod);
void setOffset(TavelPrinter& printer, float offset);
void setPostAction(TavelPrinter& printer, const char* postAction);
void setCls(TavelPrinter& printer);

// The page's set-up block: SIZE, GAP/BLINE, REFERENCE, DIRECTION, SPEED,
// DENSITY, ribbon, OFFSET 0.0 mm and the tear/peel/cutter mode, in that
// order, each only where the settings call for it.
void jobSetup(TavelPrinter& printer, const Settings& settings);

#endif
