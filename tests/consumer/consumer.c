/* A plain C host application: the header must compile as C11 and the installed library must link. */
#include <stdio.h>
#include <string.h>

#include <taluna.h>

int main(void) {
    if (tlApiVersion() != 6) {
        fprintf(stderr, "unexpected interface version %d\n", tlApiVersion());
        return 1;
    }
    TLContext* ctx = tlCreate(0);
    if (!ctx || tlLastError(ctx)[0] != '\0') {
        fprintf(stderr, "context: %s\n", ctx ? tlLastError(ctx) : "null");
        return 1;
    }
    if (tlGenerateTestCloud(ctx, 1000, 1, 0) != 0 || tlGetCount(ctx) != 1000) {
        fprintf(stderr, "galaxy: %s\n", tlLastError(ctx));
        tlDestroy(ctx);
        return 1;
    }
    char info[256];
    tlDeviceInfo(ctx, info, (int)sizeof info);
    printf("consumer ok: %s\n", info);
    tlDestroy(ctx);
    return 0;
}
