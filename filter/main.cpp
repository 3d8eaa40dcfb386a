// Process entry of the rastertotavel CUPS filter.
#include "filter/filter_internal.h"

int main(int argc, char* argv[]) { return runFilter(argc, argv); }
