/* Kestrix Assistant: interface for module library authors. */
#ifndef KESTRIX_MODULE_H
#define KESTRIX_MODULE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------------------------------
 * Loading overlay
 *
 * While a module library does long-running work inside the client, it can show the client's
 * "正在努力加载中" overlay in the bottom-right corner of the screen. The client counts open
 * loading requests: the overlay appears with the first KX_WM_LOADING_SHOW and goes when as many
 * KX_WM_LOADING_HIDE have arrived (surplus hides are harmless; the count never drops below 0).
 * Always pair each show with one hide, also on error paths.
 *
 * The functions below are exported by the client's executable; a module library loaded into the
 * client resolves them at load time (declare them and link with undefined symbols allowed, or
 * look them up with dlsym(RTLD_DEFAULT, "KxFindMainWindow")). They may be called from any thread.
 *
 *     uintptr_t w = KxFindMainWindow();
 *     KxSendMessage(w, KX_WM_LOADING_SHOW, 0, 0);
 *     ... work ...
 *     KxSendMessage(w, KX_WM_LOADING_HIDE, 0, 0);
 * --------------------------------------------------------------------------------------------- */

#define KX_WM_LOADING_SHOW 0x1403u /* a loading request begins */
#define KX_WM_LOADING_HIDE 0x1404u /* a loading request ends */

/* The client's main window (class "TfrmMain", title "Kestrix客户端助手"); 0 when it does not exist. */
uintptr_t KxFindMainWindow(void);

/* Delivers a loading message to the window and waits until the client has handled it.
 * wParam and lParam are not used (pass 0). Gives 0 when handled (also when the window does not
 * exist) and -1 for a message other than the two loading messages, which is not delivered. */
intptr_t KxSendMessage(uintptr_t window, unsigned message, uintptr_t wParam, intptr_t lParam);

/* Queues a loading message for the window and returns at once. Gives 1 when queued, 0 when the
 * window does not exist or the message is not one of the two loading messages. */
int KxPostMessage(uintptr_t window, unsigned message, uintptr_t wParam, intptr_t lParam);

#ifdef __cplusplus
}
#endif

#endif /* KESTRIX_MODULE_H */
