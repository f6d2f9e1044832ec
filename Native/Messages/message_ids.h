/* String ids of the message libraries. Stable: callers log by these numbers. */
#ifndef MESSAGE_IDS_H
#define MESSAGE_IDS_H

/* Severity labels (severity 0/other, 1, 2, 3, 4, 5). */
#define MSG_LABEL_DEFAULT 256
#define MSG_LABEL_SEV1 257
#define MSG_LABEL_SEV2 258
#define MSG_LABEL_SEV3 262
#define MSG_LABEL_SEV4 263
#define MSG_LABEL_SEV5 264
/* Prefix of auto-update records. */
#define MSG_AUTOUPDATE_PREFIX 543

/* Product message templates. */
#define MSG_JOB_STARTED 1000       /* %1 job name */
#define MSG_JOB_FINISHED 1001      /* %1 job name */
#define MSG_JOB_FAILED 1002        /* %1 job name, %2 reason */
#define MSG_VM_BACKUP_DONE 1003    /* %1 virtual machine */
#define MSG_VM_RESTORE_DONE 1004   /* %1 virtual machine, %2 target host */
#define MSG_VOLUME_SCANNED 1005    /* %1 volume, %2!d! files */
#define MSG_BYTES_COPIED 1006      /* %1!I64u! bytes, %2!d! seconds */
#define MSG_JOB_SUMMARY 1007       /* %1 job name, %n, %2 summary */
#define MSG_VM_SNAPSHOT 1008       /* %1 virtual machine, %2 snapshot name */
#define MSG_PLAIN_TEXT 1009        /* %1: a caller's finished text */
#define MSG_EMPTY 1010             /* formats to no text */

#endif
