// Writes a previewed label as an image file: 1-bit PNG or binary PBM, dots
// black on white.
#pragma once

#include "tools/label_canvas.h"

#include <string>

bool writeLabelPng(const LabelCanvas& label, const std::string& path, std::string& error);
bool writeLabelPbm(const LabelCanvas& label, const std::string& path, std::string& error);
