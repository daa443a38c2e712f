/*
 * libkirune: reading and writing .rpx containers from C (and from anything
 * that calls C).
 *
 * The library is a thin face over the code `rpx` runs: a container encoded
 * here from pixels has the header and strips `rpx` writes for a TIFF of the
 * same pixels (its trailer stores no input file name or time), and a
 * picture decoded here is what `rpx` expands, checked the same way.
 *
 * Conventions, for every function below:
 * - Functions that can fail return an int: KIRUNE_OK (0) on success, a
 *   negative kirune_error code otherwise; kirune_error_message(code) names
 *   the code, and the handle's last-error text (kirune_reader_last_error,
 *   kirune_writer_last_error) says what happened in detail, in English.
 * - Handles are opaque and own everything they hand out; a pointer returned
 *   by a handle stays valid until the next call that changes that handle,
 *   or until it is freed. A handle may be used by one thread at a time;
 *   different handles may be used on different threads at once.
 * - No function aborts the process or lets an exception out, whatever the
 *   input: a hostile or damaged file is an error code, never a crash.
 * - Pixels are interleaved R, G, B, rows top to bottom; 16-bit samples are
 *   native-endian uint16_t with the full 0..65535 range, 8-bit samples
 *   uint8_t. A stride is the distance in bytes between the starts of two
 *   rows and is at least width * 3 * bytes per sample.
 * - Texts carried in a container (make, model, ...) are bytes as stored
 *   (cp932 or UTF-8, without a terminating NUL).
 */
#ifndef KIRUNE_KIRUNE_H
#define KIRUNE_KIRUNE_H

#include <stddef.h>
#include <stdint.h>

#if defined(KIRUNE_BUILDING_LIBRARY)
#define KIRUNE_API __attribute__((visibility("default")))
#else
#define KIRUNE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- version ------------------------------------------------------------ */

#define KIRUNE_VERSION_MAJOR 1
#define KIRUNE_VERSION_MINOR 0
#define KIRUNE_VERSION_PATCH 0
#define KIRUNE_VERSION_NUMBER (KIRUNE_VERSION_MAJOR * 10000 + KIRUNE_VERSION_MINOR * 100 + KIRUNE_VERSION_PATCH)

/*! kirune_version_number():
 *  @return the version of the library running, as KIRUNE_VERSION_NUMBER
 *          computes it (compare with the header's to catch a mismatch). */
KIRUNE_API unsigned kirune_version_number(void);

/*! kirune_version_string():
 *  @return the library's version as "MAJOR.MINOR.PATCH" followed by the
 *          version of the program it comes with, e.g. "1.0.0 (kirune 2.11)";
 *          a static string. */
KIRUNE_API const char* kirune_version_string(void);

/* ---- errors ------------------------------------------------------------- */

typedef enum kirune_error {
    KIRUNE_OK = 0,
    KIRUNE_ERROR_INVALID_ARGUMENT = -1, /* a NULL pointer, a size or stride that does not fit, a value out of range */
    KIRUNE_ERROR_NO_PICTURE = -2,       /* the reader has no container open */
    KIRUNE_ERROR_IO = -3,               /* a file cannot be opened, read or written */
    KIRUNE_ERROR_NOT_RPX = -4,          /* not an .rpx container, or one of an unknown version */
    KIRUNE_ERROR_DAMAGED = -5,          /* a damaged or truncated container: a checksum or structure check failed */
    KIRUNE_ERROR_TOO_LARGE = -6,        /* over a limit the caller set (kirune_reader_set_max_pixels) */
    KIRUNE_ERROR_OUT_OF_MEMORY = -7,
    KIRUNE_ERROR_OUTPUT_EXISTS = -8, /* the output file exists and replacing was not asked for */
    KIRUNE_ERROR_ABORTED = -9,       /* a callback asked to stop */
    KIRUNE_ERROR_FAILED = -10        /* anything else; the last-error text says what */
} kirune_error;

/*! kirune_error_message():
 *  @return a static English text naming `code` (any int; unknown codes get a
 *          text saying so). Never NULL. */
KIRUNE_API const char* kirune_error_message(int code);

/*! kirune_free():
 *  Frees memory the library allocated for the caller
 *  (kirune_writer_encode_to_memory). NULL is ignored. */
KIRUNE_API void kirune_free(void* memory);

/* ---- reading ------------------------------------------------------------ */

typedef struct kirune_reader kirune_reader;

/*! kirune_reader_create():
 *  @return a reader with no container open, or NULL when memory ran out.
 *          Free it with kirune_reader_free(). */
KIRUNE_API kirune_reader* kirune_reader_create(void);

/*! kirune_reader_free():
 *  Frees the reader and everything it handed out. NULL is ignored. */
KIRUNE_API void kirune_reader_free(kirune_reader* reader);

/*! kirune_reader_last_error():
 *  @return the text of the reader's last failure ("" after a success), valid
 *          until the next call on the reader; "" for NULL. */
KIRUNE_API const char* kirune_reader_last_error(const kirune_reader* reader);

/*! kirune_reader_set_max_pixels():
 *  Sets the largest picture (width * height) that kirune_reader_open_*
 *  accept; larger ones fail with KIRUNE_ERROR_TOO_LARGE before anything is
 *  decoded. 0 (the default) means no limit beyond the format's own.
 *  @return KIRUNE_OK, or KIRUNE_ERROR_INVALID_ARGUMENT for a NULL reader. */
KIRUNE_API int kirune_reader_set_max_pixels(kirune_reader* reader, uint64_t max_pixels);

/*! kirune_reader_open_path():
 *  Opens the container at `path` (closing whatever the reader had open),
 *  reads and checks its header and trailer and verifies the container
 *  checksum, as `rpx` does before it expands. Only regular files are opened.
 *  @return KIRUNE_OK; KIRUNE_ERROR_IO when the file cannot be opened or
 *          read; KIRUNE_ERROR_NOT_RPX; KIRUNE_ERROR_DAMAGED;
 *          KIRUNE_ERROR_TOO_LARGE; KIRUNE_ERROR_INVALID_ARGUMENT for NULL.
 *          On failure the reader has nothing open. */
KIRUNE_API int kirune_reader_open_path(kirune_reader* reader, const char* path);

/*! kirune_reader_open_memory():
 *  As kirune_reader_open_path(), for a container held in memory. The
 *  reader keeps its own copy: `data` may be freed once this returns.
 *  The bytes are read through an anonymous in-memory file (memfd, reached
 *  through /proc/self/fd), the way the container reader reads any file.
 *  @return as kirune_reader_open_path(); KIRUNE_ERROR_INVALID_ARGUMENT when
 *          data is NULL; a buffer too short for a header is
 *          KIRUNE_ERROR_DAMAGED, one of foreign bytes KIRUNE_ERROR_NOT_RPX. */
KIRUNE_API int kirune_reader_open_memory(kirune_reader* reader, const void* data, size_t size);

/* Colour sampling, as stored. */
#define KIRUNE_SAMPLING_420 1
#define KIRUNE_SAMPLING_422 2
#define KIRUNE_SAMPLING_444 4

typedef struct kirune_info {
    uint32_t width;
    uint32_t height;
    int32_t quality_level;   /* 1 (finest) and up; the presets use 1 to 400 */
    int32_t colour_sampling; /* KIRUNE_SAMPLING_* */
    int32_t preset;          /* the preset digit 0-9 this level and sampling are, or -1 */
    uint32_t strip_height;   /* rows per strip (the last strip may have fewer) */
    uint32_t strip_count;
    int32_t has_checksums;   /* 1: a trailer with both checksums, verified on decoding; 0: an older container */
    int32_t orientation;     /* the TIFF Orientation carried (1-8), 1 when none */
} kirune_info;

/*! kirune_reader_info():
 *  Fills `info` for the open container.
 *  @return KIRUNE_OK; KIRUNE_ERROR_NO_PICTURE; KIRUNE_ERROR_INVALID_ARGUMENT. */
KIRUNE_API int kirune_reader_info(kirune_reader* reader, kirune_info* info);

/* Bytes held by a handle, or handed to it. `present` tells an absent field
 * from an empty one. */
typedef struct kirune_bytes {
    const uint8_t* data;
    size_t size;
    int present;
} kirune_bytes;

typedef struct kirune_metadata {
    /* The descriptive fields of the container's header. */
    kirune_bytes make, model, software, date_time, artist;
    /* The photograph's own description; absent when the header holds the
     * writing program's credit in its place. */
    kirune_bytes description;
    uint16_t resolution_unit; /* TIFF's: 1 none, 2 inch, 3 centimetre; 0 absent */
    float x_resolution, y_resolution;
    kirune_bytes icc_profile;
    /* Every other tag of the source TIFF's image directory, with its Exif
     * and GPS directories, in the container's own encoding (the trailer's
     * carried-tags record). Pass it back to a writer to carry it on. */
    kirune_bytes carried_tags;
} kirune_metadata;

/*! kirune_reader_metadata():
 *  Fills `meta` with the open container's metadata; the pointers in it are
 *  the reader's and valid until it is reopened or freed.
 *  @return KIRUNE_OK; KIRUNE_ERROR_NO_PICTURE; KIRUNE_ERROR_INVALID_ARGUMENT. */
KIRUNE_API int kirune_reader_metadata(kirune_reader* reader, kirune_metadata* meta);

/*! kirune_reader_decode():
 *  Decodes the whole picture into `pixels`: height rows of width R, G, B
 *  samples of `bits` (16: uint16_t, as `rpx` expands to TIFF; 8: uint8_t,
 *  rounded from 16 bits as `rpx --bmp` does), each row `stride` bytes after
 *  the last. The container checksum, its structure and the checksum of the
 *  decoded samples are all checked, as an expansion does; on any failure the
 *  rows are cleared to 0, so that damaged pixels are never handed out.
 *  Memory beyond the caller's buffer: one strip's working set. A container
 *  opened by path is read again (one whose picture size changed fails).
 *  @param buffer_size  bytes writable at `pixels`: at least
 *                      stride * (height - 1) + width * 3 * bits / 8.
 *  @return KIRUNE_OK; KIRUNE_ERROR_INVALID_ARGUMENT (NULL, bits not 8 or 16,
 *          stride or buffer_size too small); KIRUNE_ERROR_NO_PICTURE;
 *          KIRUNE_ERROR_DAMAGED; KIRUNE_ERROR_IO; KIRUNE_ERROR_OUT_OF_MEMORY.
 *          The reader stays open: decoding may be repeated. */
KIRUNE_API int kirune_reader_decode(kirune_reader* reader, void* pixels, size_t stride, size_t buffer_size,
                                    int bits);

/*! kirune_strip_callback:
 *  Receives `rows` decoded rows starting at picture row `first_row`, `stride`
 *  bytes apart, in the reader's memory (valid during the call only).
 *  @return 0 to go on, anything else to stop (the decode then returns
 *          KIRUNE_ERROR_ABORTED). */
typedef int (*kirune_strip_callback)(void* user, uint32_t first_row, uint32_t rows, const void* pixels,
                                     size_t stride);

/*! kirune_reader_decode_strips():
 *  Decodes the picture strip by strip, top to bottom, handing each to
 *  `callback`; memory stays one strip's working set whatever the size.
 *  The container checksum is verified before the first strip; the samples'
 *  checksum can only be verified after the last: when the return value is
 *  not KIRUNE_OK the rows delivered must be discarded.
 *  @return KIRUNE_OK once every strip was delivered and every check passed;
 *          KIRUNE_ERROR_ABORTED when the callback stopped it; otherwise as
 *          kirune_reader_decode(). */
KIRUNE_API int kirune_reader_decode_strips(kirune_reader* reader, int bits, kirune_strip_callback callback,
                                           void* user);

/* ---- writing ------------------------------------------------------------ */

typedef struct kirune_writer kirune_writer;

/*! kirune_writer_create():
 *  @return a writer set to `rpx`'s defaults (preset 2, every core, outputs
 *          never replace an existing file), or NULL when memory ran out. */
KIRUNE_API kirune_writer* kirune_writer_create(void);

/*! kirune_writer_free(): frees the writer. NULL is ignored. */
KIRUNE_API void kirune_writer_free(kirune_writer* writer);

/*! kirune_writer_last_error():
 *  @return the text of the writer's last failure ("" after a success); ""
 *          for NULL. Valid until the next call on the writer. */
KIRUNE_API const char* kirune_writer_last_error(const kirune_writer* writer);

/*! kirune_writer_set_preset():
 *  Codes at preset `digit` (0-9, the dialog's keys and `rpx -p`).
 *  Replaces any quality level or PSNR target set before.
 *  @return KIRUNE_OK; KIRUNE_ERROR_INVALID_ARGUMENT for NULL or another digit. */
KIRUNE_API int kirune_writer_set_preset(kirune_writer* writer, int digit);

/*! kirune_writer_set_quality():
 *  Codes at quality level `level` (1 finest and up; the presets use 1 to
 *  400) with `sampling`
 *  (KIRUNE_SAMPLING_*). Replaces any preset or PSNR target set before.
 *  kirune_writer_compress_file() names its outputs NAME_qLEVEL-2.rpx unless
 *  the pair is a preset's, which names them as the preset does.
 *  @return KIRUNE_OK; KIRUNE_ERROR_INVALID_ARGUMENT when out of range. */
KIRUNE_API int kirune_writer_set_quality(kirune_writer* writer, int level, int sampling);

/*! kirune_writer_set_psnr_target():
 *  Codes at the coarsest level and sampling whose RGB PSNR (16-bit peak)
 *  reaches `db`, as `rpx --psnr`. Replaces any preset or level set before.
 *  @return KIRUNE_OK; KIRUNE_ERROR_INVALID_ARGUMENT unless 0 < db <= 200. */
KIRUNE_API int kirune_writer_set_psnr_target(kirune_writer* writer, double db);

/*! kirune_writer_set_rate_aware():
 *  Non-zero: the rate-aware block coder (`rpx --rdo`): fewer bytes at equal
 *  PSNR, a few times slower; every reader decodes the result.
 *  @return KIRUNE_OK; KIRUNE_ERROR_INVALID_ARGUMENT for NULL. */
KIRUNE_API int kirune_writer_set_rate_aware(kirune_writer* writer, int on);

/*! kirune_writer_set_threads():
 *  Threads to code with, 0 for every core (the default). The bytes written
 *  do not depend on it.
 *  @return KIRUNE_OK; KIRUNE_ERROR_INVALID_ARGUMENT for NULL or a negative count. */
KIRUNE_API int kirune_writer_set_threads(kirune_writer* writer, int threads);

/*! kirune_writer_set_replace_existing():
 *  For kirune_writer_encode_to_path(): non-zero, an output path that exists
 *  is replaced (`rpx -f`); zero (the default), it is refused with
 *  KIRUNE_ERROR_OUTPUT_EXISTS. Whole files follow kirune_file_options.existing.
 *  @return KIRUNE_OK; KIRUNE_ERROR_INVALID_ARGUMENT for NULL. */
KIRUNE_API int kirune_writer_set_replace_existing(kirune_writer* writer, int on);

/*! kirune_writer_set_metadata():
 *  Metadata that the next containers carry, copied into the writer (NULL:
 *  none). Fields are those kirune_reader_metadata() gives, so a picture's
 *  metadata can be passed on as it was read; `description` is kept when it
 *  has 4 to 30 bytes, as `rpx` keeps a TIFF's.
 *  @return KIRUNE_OK; KIRUNE_ERROR_INVALID_ARGUMENT for a NULL writer or a
 *          field with data NULL and size > 0; KIRUNE_ERROR_OUT_OF_MEMORY. */
KIRUNE_API int kirune_writer_set_metadata(kirune_writer* writer, const kirune_metadata* meta);

typedef struct kirune_image {
    const void* pixels;
    uint32_t width;
    uint32_t height;
    size_t stride; /* bytes from one row's start to the next */
    int bits;      /* 16 or 8 */
} kirune_image;

typedef struct kirune_result {
    int32_t quality_level;   /* what the picture was coded with */
    int32_t colour_sampling; /* KIRUNE_SAMPLING_* */
    double psnr;             /* RGB PSNR reached, 16-bit peak (infinity: lossless) */
    int32_t target_missed;   /* 1: a PSNR target no coding reaches; the finest coding was written */
    uint64_t bytes;          /* the container's size */
} kirune_result;

/*! kirune_writer_encode_to_path():
 *  Compresses `image` into a container at `path`, exactly as `rpx` compresses
 *  a TIFF of the same pixels (rpx's file-name record aside). The output is
 *  written as rpx writes it: into a temporary file put in place only once
 *  complete, never replacing an existing file unless asked, nothing left
 *  behind on failure. `result` (may be NULL) receives what was done.
 *  @return KIRUNE_OK; KIRUNE_ERROR_INVALID_ARGUMENT (NULL, bits, a stride
 *          below width * 3 * bits / 8, an empty picture);
 *          KIRUNE_ERROR_OUTPUT_EXISTS; KIRUNE_ERROR_IO;
 *          KIRUNE_ERROR_OUT_OF_MEMORY; KIRUNE_ERROR_FAILED. */
KIRUNE_API int kirune_writer_encode_to_path(kirune_writer* writer, const kirune_image* image, const char* path,
                                            kirune_result* result);

/*! kirune_writer_encode_to_memory():
 *  As kirune_writer_encode_to_path(), into memory: on success *data points
 *  to the container's *size bytes, to be freed with kirune_free(); on
 *  failure *data is NULL and *size 0.
 *  @return as kirune_writer_encode_to_path(), KIRUNE_ERROR_OUTPUT_EXISTS aside. */
KIRUNE_API int kirune_writer_encode_to_memory(kirune_writer* writer, const kirune_image* image, void** data,
                                              size_t* size, kirune_result* result);

/* ---- whole files, as rpx does them -------------------------------------- */

#define KIRUNE_FILE_OK 0
#define KIRUNE_FILE_FAILED 1
#define KIRUNE_FILE_SKIPPED 2 /* the output existed and skipping was asked for */

#define KIRUNE_EXISTING_REFUSE 0 /* rpx's default: the file fails */
#define KIRUNE_EXISTING_REPLACE 1 /* rpx -f */
#define KIRUNE_EXISTING_SKIP 2 /* rpx --skip-existing: the file counts as done */

typedef struct kirune_file_options {
    const char* output_dir;    /* NULL or "": beside the input */
    int existing;              /* KIRUNE_EXISTING_* */
    int bmp;                   /* expansion: 24-bit BMP instead of 16-bit TIFF */
} kirune_file_options;

typedef struct kirune_file_report {
    int status;             /* KIRUNE_FILE_* */
    const char* input;      /* the writer's copies, valid until its next call */
    const char* output;     /* NULL when nothing was written */
    const char* message;    /* why it failed, or a warning; "" when none */
    uint64_t input_bytes;
    uint64_t output_bytes;
    uint32_t width, height;
    double psnr;             /* compression: the PSNR reached; 0 for an expansion */
    int32_t quality_level;   /* compression: what it was coded with; expansion: the container's */
    int32_t colour_sampling;
    int32_t target_missed;
    double seconds;
} kirune_file_report;

/*! kirune_writer_compress_file():
 *  Compresses the TIFF or BMP at `input` into NAME_DB-2.rpx beside it (or in
 *  options->output_dir), with the writer's coding settings, as `rpx` does:
 *  the same name, bytes, metadata and safe-output rules.
 *  @param options  NULL: beside the input, refusing an existing output.
 *  @return KIRUNE_OK when the file was done or skipped (report->status
 *          tells which); otherwise an error code, report->status
 *          KIRUNE_FILE_FAILED and report->message the reason. */
KIRUNE_API int kirune_writer_compress_file(kirune_writer* writer, const char* input,
                                           const kirune_file_options* options, kirune_file_report* report);

/*! kirune_writer_expand_file():
 *  Expands the container at `input` into NAME.tif (or .bmp) as `rpx` does,
 *  both checksums verified before the output is put in place.
 *  @return as kirune_writer_compress_file(). */
KIRUNE_API int kirune_writer_expand_file(kirune_writer* writer, const char* input,
                                         const kirune_file_options* options, kirune_file_report* report);

#ifdef __cplusplus
}
#endif

#endif /* KIRUNE_KIRUNE_H */
