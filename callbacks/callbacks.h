// The milter callbacks the filter registers with libmilter.
#pragma once

#include <libmilter/mfapi.h>

sfsistat mlfi_negotiate(SMFICTX* ctx, unsigned long f0, unsigned long f1, unsigned long f2,
                        unsigned long f3, unsigned long* pf0, unsigned long* pf1,
                        unsigned long* pf2, unsigned long* pf3);
sfsistat mlfi_connect(SMFICTX* ctx, char* hostname, _SOCK_ADDR* hostaddr);
sfsistat mlfi_envfrom(SMFICTX* ctx, char** argv);
sfsistat mlfi_envrcpt(SMFICTX* ctx, char** argv);
sfsistat mlfi_eom(SMFICTX* ctx);
sfsistat mlfi_close(SMFICTX* ctx);
