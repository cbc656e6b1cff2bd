// What differs between the two bridge builds: tovrel (BUILD_ETOKEN, JaCarta
// module from the plugin directory) and marbek (LISSI module at a fixed path).
#pragma once

#ifdef BUILD_ETOKEN
#define PROGRAM_NAME "tovrel"
#define REQUEST_FILE_NAME "tovrel_in.txt"
#define RESPONSE_FILE_NAME "tovrel_out.txt"
#define MIN_REQUEST_LINES 2
#define MODULE_FILE_NAME "libjcPKCS11.so.1"
#else
#define PROGRAM_NAME "marbek"
#define REQUEST_FILE_NAME "marbek_in.txt"
#define RESPONSE_FILE_NAME "marbek_out.txt"
#define MIN_REQUEST_LINES 1
#define LISSI_MODULE_PATH "/opt/lissi-crypto/lircryptoki_fs/lib/liblircryptoki_fs.so"
#endif
