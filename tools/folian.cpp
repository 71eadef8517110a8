// folian: command-line converter (placeholder).
#include "folian.h"
int main() { return folian_init() ? 0 : 1; }
