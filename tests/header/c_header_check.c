/* Compiles the public header as strict C11 with warnings: its static assertions must hold in C too. */
#include <taluna.h>

int taluna_header_check_c(void) { return (int)sizeof(TLCamera) + (int)sizeof(TLRenderSettings) + (int)sizeof(TLLight); }
