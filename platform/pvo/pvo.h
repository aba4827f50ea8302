/* libpvo: the device's durable key/value store (nvram), as a C library.
 *
 * Keys and values are NUL-terminated text; any bytes other than NUL are
 * allowed (newlines, '=', quotes, UTF-8) and come back byte for byte.
 *
 * Values set in a process are visible to that process at once and become
 * durable at pvoCommit. A commit is atomic (a crash or power cut during it
 * leaves either the old or the new committed state) and reaches the disk.
 * Several processes may use one store at once: a commit applies this
 * process's pending changes on top of the latest committed state, so it
 * never loses keys another process has committed. Reads see the latest
 * committed state with this process's pending changes on top.
 *
 * Location: the folder named by the environment variable PVO_STORE, by
 * default PVO_DEFAULT_STORE. It holds the store file "store" and the lock
 * file "store.lock"; a commit creates the folder when it is missing. The
 * variable is read on every call: when it changes, the pending changes made
 * for the previous store are dropped and the new store is used.
 *
 * Errors are negative codes (PVO_E_*) with pvoStrerror texts. A store file
 * that cannot be read or parsed is reported as an error and never replaced.
 *
 * Threading: every function may be called from any thread at any time.
 */
#ifndef PVO_PVO_H
#define PVO_PVO_H

#ifdef __cplusplus
extern "C" {
#endif

#define PVO_DEFAULT_STORE "/var/lib/pvo"
#define PVO_STORE_ENV "PVO_STORE"

/* Limits on sizes, in bytes, without the terminating NUL. */
#define PVO_MAX_KEY_LENGTH 1024
#define PVO_MAX_VALUE_LENGTH 65536

#define PVO_OK 0
#define PVO_E_INVAL (-1)      /* null or empty key, null value or pointer */
#define PVO_E_KEYLEN (-2)     /* key longer than PVO_MAX_KEY_LENGTH */
#define PVO_E_VALLEN (-3)     /* value longer than PVO_MAX_VALUE_LENGTH */
#define PVO_E_NOMEM (-4)      /* out of memory */
#define PVO_E_READ (-5)       /* the store file exists but cannot be read */
#define PVO_E_CORRUPT (-6)    /* the store file is not a valid store */
#define PVO_E_WRITE (-7)      /* the store cannot be written or synced */
#define PVO_E_LOCK (-8)       /* the store's lock cannot be taken */

/* Reads `key`. `*value` must be NULL on entry. Returns 0 with `*value`
 * pointing to a malloc'd copy that the caller releases with free, or 0 with
 * `*value` still NULL when the key is not set; a negative code on error
 * (`*value` then stays NULL). */
int pvoGet(const char* key, char** value);

/* Sets `key` to `value` in this process; durable at the next pvoCommit.
 * Returns 0 or a negative code. */
int pvoSet(const char* key, const char* value);

/* Removes `key` in this process; durable at the next pvoCommit. Removing a
 * key that is not set is no error. Returns 0 or a negative code. */
int pvoUnset(const char* key);

/* Makes every set and unset of this process durable, merged over the latest
 * committed state. Returns 0 or a negative code. On error nothing is
 * committed and the pending changes are kept for a later commit, with one
 * exception: when only the final sync of the folder fails, the new state is
 * already in place (and the pending changes are done) but may not survive a
 * power cut, and PVO_E_WRITE is returned. */
int pvoCommit(void);

/* Calls `visit` once for every key set (committed state with this process's
 * pending changes on top), in byte order of the keys, with the key and value
 * valid during the call only. A non-zero result of `visit` stops the walk and
 * is returned. Returns 0 when every key was visited, or a negative code. */
typedef int (*pvo_visit_fn)(const char* key, const char* value, void* context);
int pvoList(pvo_visit_fn visit, void* context);

/* A printable static message for a code returned by the functions above;
 * never NULL, not to be released. */
const char* pvoStrerror(int code);

#ifdef __cplusplus
}
#endif

#endif /* PVO_PVO_H */
