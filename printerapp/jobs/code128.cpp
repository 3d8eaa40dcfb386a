// Code 128, code set B: each character is three bars and three spaces
// eleven modules wide, the stop character four bars and three spaces
// thirteen wide. The check character is the start value plus each data
// value times its position, modulo 103.
#include "printerapp/jobs/code128.h"

namespace {

// The bar and space widths of the values 0 to 106, bar first; 104 starts
// code set B and 106 is the stop character (with its final bar of two).
const char* const kPatterns[107] = {
    "212222", "222122", "222221", "121223", "121322", "131222", "122213", "122312", "132212",
    "221213", "221312", "231212", "112232", "122132", "122231", "113222", "123122", "123221",
    "223211", "221132", "221231", "213212", "223112", "312131", "311222", "321122", "321221",
    "312212", "322112", "322211", "212123", "212321", "232121", "111323", "131123", "131321",
    "112313", "132113", "132311", "211313", "231113", "231311", "112133", "112331", "132131",
    "113123", "113321", "133121", "313121", "211331", "231131", "213113", "213311", "213131",
    "311123", "311321", "331121", "312113", "312311", "332111", "314111", "221411", "431111",
    "111224", "111422", "121124", "121421", "141122", "141221", "112214", "112412", "122114",
    "122411", "142112", "142211", "241211", "221114", "413111", "241112", "134111", "111242",
    "121142", "121241", "114212", "124112", "124211", "411212", "421112", "421211", "212141",
    "214121", "412121", "111143", "111341", "131141", "114113", "114311", "411113", "411311",
    "113141", "114131", "311141", "411131", "211412", "211214", "211232", "2331112",
};

constexpr unsigned kStartB = 104;
constexpr unsigned kStop = 106;

void append(unsigned value, std::vector<unsigned char>* widths)
{
    for (const char* w = kPatterns[value]; *w != '\0'; ++w)
        widths->push_back(static_cast<unsigned char>(*w - '0'));
}

}  // namespace

std::vector<unsigned char> code128Widths(const std::string& text)
{
    std::vector<unsigned char> widths;
    if (text.empty())
        return widths;
    for (char c : text) {
        if (c < ' ' || c > '~')
            return widths;
    }
    append(kStartB, &widths);
    unsigned sum = kStartB;
    unsigned position = 1;
    for (char c : text) {
        const unsigned value = static_cast<unsigned>(c - ' ');
        append(value, &widths);
        sum += value * position++;
    }
    append(sum % 103, &widths);
    append(kStop, &widths);
    return widths;
}

unsigned code128Modules(const std::vector<unsigned char>& widths)
{
    unsigned modules = 0;
    for (unsigned char w : widths)
        modules += w;
    return modules;
}
