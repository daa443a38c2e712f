/* The C API from a C11 program linked through pkg-config:
 *   api_round_trip A.rpx A16.raw WORKDIR
 * A.rpx was written by rpx, A16.raw is rpx's expansion of it as 16-bit
 * little-endian RGB. Writes WORKDIR/B.rpx and WORKDIR/B8.rpx (A's 16-bit
 * and 8-bit pixels as read here, encoded again with and without A's
 * metadata), which the script compares with what rpx makes of its own
 * expansions of A. */
#include <kirune/kirune.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failures = 0;
#define CHECK(cond, what) \
    ((cond) ? (void)0 : (void)(printf("FAILED: %s (line %d)\n", what, __LINE__), failures++))

static unsigned char* readFile(const char* path, size_t* size) {
    FILE* f = fopen(path, "rb");
    if (!f) return NULL;
    fseek(f, 0, SEEK_END);
    long n = ftell(f);
    fseek(f, 0, SEEK_SET);
    unsigned char* data = malloc(n > 0 ? (size_t)n : 1);
    *size = data ? fread(data, 1, (size_t)n, f) : 0;
    fclose(f);
    return data;
}

static int writeFile(const char* path, const void* data, size_t size) {
    FILE* f = fopen(path, "wb");
    if (!f) return 0;
    int ok = fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && ok;
}

/* Bytes of a container before its trailer (the header and the strips). */
static size_t bodySize(const unsigned char* c, size_t size) {
    if (size < 32 || memcmp(c + size - 8, "RPXTRAIL", 8) != 0) return size;
    unsigned long long trailer = 0;
    for (int i = 7; i >= 0; --i) trailer = trailer << 8 | c[size - 32 + i];
    return trailer <= size ? size - (size_t)trailer : 0;
}

typedef struct {
    unsigned rows, calls, nextRow;
} StripCount;

static int countStrips(void* user, uint32_t first, uint32_t rows, const void* pixels, size_t stride) {
    StripCount* s = user;
    if (first != s->nextRow || !pixels || stride == 0) return 1;
    s->nextRow += rows;
    s->rows += rows;
    s->calls++;
    return 0;
}
static int stopAtOnce(void* u, uint32_t f, uint32_t r, const void* p, size_t s) {
    return (void)u, (void)f, (void)r, (void)p, (void)s, 1;
}

static int allZero(const unsigned char* p, size_t n) { return n == 0 || (!p[0] && !memcmp(p, p + 1, n - 1)); }

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    char path[4096];
    size_t rpxSize = 0, rawSize = 0;
    unsigned char* rpx = readFile(argv[1], &rpxSize);
    unsigned char* raw = readFile(argv[2], &rawSize);
    if (!rpx || !raw) return 2;

    CHECK(kirune_version_number() == KIRUNE_VERSION_NUMBER, "the library's version is the header's");
    CHECK(strncmp(kirune_version_string(), "1.0.0", 5) == 0, "version string");

    /* ---- reading, from a path and from memory, equal to rpx's expansion ---- */
    kirune_reader* r = kirune_reader_create();
    kirune_info info;
    CHECK(kirune_reader_info(r, &info) == KIRUNE_ERROR_NO_PICTURE, "info before opening");
    CHECK(kirune_reader_open_path(r, argv[1]) == KIRUNE_OK, "open A.rpx by path");
    CHECK(kirune_reader_info(r, &info) == KIRUNE_OK, "info");
    const size_t w = info.width, h = info.height, row16 = w * 6;
    CHECK(w * h * 6 == rawSize, "size as rpx expands it");
    CHECK(info.quality_level == 12 && info.colour_sampling == KIRUNE_SAMPLING_444 && info.preset == 2,
          "level, sampling and preset of rpx's default");
    CHECK(info.has_checksums == 1 && info.strip_count >= 1, "checksums");

    const size_t stride = row16 + 10; /* a stride past the row: padding stays untouched */
    unsigned char* pixels = malloc(stride * h);
    memset(pixels, 0xA5, stride * h);
    CHECK(kirune_reader_decode(r, pixels, stride, stride * h, 16) == KIRUNE_OK, "decode 16-bit");
    int same = 1, padding = 1;
    for (size_t y = 0; y < h; ++y) {
        same &= memcmp(pixels + y * stride, raw + y * row16, row16) == 0;
        padding &= pixels[y * stride + row16] == 0xA5 && pixels[y * stride + stride - 1] == 0xA5;
    }
    CHECK(same, "16-bit pixels equal rpx's TIFF");
    CHECK(padding, "bytes past each row untouched");

    /* 8-bit: encoded again below, as rpx compresses its BMP. */
    unsigned char* p8 = malloc(w * 3 * h);
    CHECK(kirune_reader_decode(r, p8, w * 3, w * 3 * h, 8) == KIRUNE_OK, "decode 8-bit");

    StripCount count = {0, 0, 0};
    CHECK(kirune_reader_decode_strips(r, 16, countStrips, &count) == KIRUNE_OK, "strip by strip");
    CHECK(count.rows == h && count.calls == info.strip_count, "every row once, one call per strip");
    CHECK(kirune_reader_decode_strips(r, 16, stopAtOnce, NULL) == KIRUNE_ERROR_ABORTED, "callback stops");

    kirune_metadata meta;
    CHECK(kirune_reader_metadata(r, &meta) == KIRUNE_OK, "metadata");

    kirune_reader* m = kirune_reader_create();
    CHECK(kirune_reader_open_memory(m, rpx, rpxSize) == KIRUNE_OK, "open A from memory");
    unsigned char* again = malloc(row16 * h);
    CHECK(kirune_reader_decode(m, again, row16, row16 * h, 16) == KIRUNE_OK && memcmp(again, raw, row16 * h) == 0,
          "from memory: the same pixels");

    /* ---- writing: A's pixels and metadata, as rpx compresses A's TIFF ---- */
    kirune_writer* wr = kirune_writer_create();
    CHECK(kirune_writer_set_metadata(wr, &meta) == KIRUNE_OK, "pass the metadata on");
    CHECK(kirune_writer_set_threads(wr, 2) == KIRUNE_OK, "threads");
    kirune_image image = {pixels, (uint32_t)w, (uint32_t)h, stride, 16};
    void* encoded = NULL;
    size_t encodedSize = 0;
    kirune_result result;
    CHECK(kirune_writer_encode_to_memory(wr, &image, &encoded, &encodedSize, &result) == KIRUNE_OK,
          "encode to memory");
    CHECK(result.quality_level == 12 && result.bytes == encodedSize && result.psnr > 40, "the result");
    snprintf(path, sizeof path, "%s/B.rpx", argv[3]);
    CHECK(kirune_writer_encode_to_path(wr, &image, path, NULL) == KIRUNE_OK, "encode to a path");
    size_t fileSize = 0;
    unsigned char* file = readFile(path, &fileSize);
    CHECK(file && fileSize == encodedSize && memcmp(file, encoded, fileSize) == 0, "path and memory agree");

    /* An existing output stays as it was unless replacing was asked for. */
    snprintf(path, sizeof path, "%s/exists.rpx", argv[3]);
    writeFile(path, "keep", 4);
    kirune_writer_set_preset(wr, 0);
    CHECK(kirune_writer_encode_to_path(wr, &image, path, NULL) == KIRUNE_ERROR_OUTPUT_EXISTS &&
              strstr(kirune_writer_last_error(wr), "already exists"),
          "an existing output is refused");
    free(file);
    file = readFile(path, &fileSize);
    CHECK(fileSize == 4 && memcmp(file, "keep", 4) == 0, "... and left as it was");
    kirune_writer_set_replace_existing(wr, 1);
    CHECK(kirune_writer_encode_to_path(wr, &image, path, &result) == KIRUNE_OK && result.quality_level == 400 &&
              result.colour_sampling == KIRUNE_SAMPLING_420,
          "replaced when asked, at preset 0");
    snprintf(path, sizeof path, "%s/no-such-folder/B.rpx", argv[3]);
    CHECK(kirune_writer_encode_to_path(wr, &image, path, NULL) == KIRUNE_ERROR_IO, "a folder that is missing");

    /* 8-bit pixels go in as an 8-bit TIFF would. */
    kirune_image image8 = {p8, (uint32_t)w, (uint32_t)h, w * 3, 8};
    void* enc8 = NULL;
    size_t enc8Size = 0;
    kirune_writer_set_preset(wr, 2);
    kirune_writer_set_metadata(wr, NULL);
    CHECK(kirune_writer_encode_to_memory(wr, &image8, &enc8, &enc8Size, NULL) == KIRUNE_OK, "encode 8-bit");
    snprintf(path, sizeof path, "%s/B8.rpx", argv[3]);
    CHECK(writeFile(path, enc8, enc8Size), "write B8.rpx");

    /* ---- whole files, as rpx does them ---- */
    char folder[4096];
    snprintf(folder, sizeof folder, "%s/files", argv[3]);
    kirune_file_options options = {folder, KIRUNE_EXISTING_REFUSE, 0};
    kirune_file_report report;
    kirune_writer_set_replace_existing(wr, 0);
    int rcf = kirune_writer_compress_file(wr, "a.tif", &options, &report);
    CHECK(rcf == KIRUNE_OK &&
              report.status == KIRUNE_FILE_OK && report.output && strstr(report.output, "files/a_49-2.rpx") &&
              report.width == w && report.quality_level == 12 && report.psnr > 40 && report.output_bytes > 0,
          "compress a file into a folder, named as rpx names it");
    CHECK(kirune_writer_compress_file(wr, "a.tif", &options, &report) == KIRUNE_ERROR_OUTPUT_EXISTS &&
              report.status == KIRUNE_FILE_FAILED && report.output == NULL && strstr(report.message, "exists"),
          "... a second time: refused");
    options.existing = KIRUNE_EXISTING_SKIP;
    CHECK(kirune_writer_compress_file(wr, "a.tif", &options, &report) == KIRUNE_OK &&
              report.status == KIRUNE_FILE_SKIPPED,
          "... or skipped");
    options.bmp = 1;
    snprintf(path, sizeof path, "%s/files/a_49-2.rpx", argv[3]);
    CHECK(kirune_writer_expand_file(wr, path, &options, &report) == KIRUNE_OK && report.status == KIRUNE_FILE_OK &&
              strstr(report.output, "files/a_49-2.bmp"),
          "expand a file to BMP");
    CHECK(kirune_writer_expand_file(wr, "a.tif", &options, &report) != KIRUNE_OK &&
              report.status == KIRUNE_FILE_FAILED,
          "a TIFF is not expanded");
    CHECK(kirune_writer_compress_file(wr, "missing.tif", NULL, &report) == KIRUNE_ERROR_IO &&
              strcmp(report.input, "missing.tif") == 0,
          "a missing input");

    /* ---- error paths: wrong arguments ---- */
    CHECK(kirune_reader_open_path(NULL, argv[1]) == KIRUNE_ERROR_INVALID_ARGUMENT, "NULL reader");
    CHECK(kirune_reader_open_path(r, NULL) == KIRUNE_ERROR_INVALID_ARGUMENT, "NULL path");
    CHECK(kirune_reader_open_memory(r, NULL, 10) == KIRUNE_ERROR_INVALID_ARGUMENT, "NULL data");
    CHECK(kirune_reader_info(r, &info) == KIRUNE_ERROR_NO_PICTURE, "a failed open leaves nothing open");
    CHECK(kirune_reader_open_path(r, argv[1]) == KIRUNE_OK, "open A again");
    CHECK(kirune_reader_info(r, NULL) == KIRUNE_ERROR_INVALID_ARGUMENT, "NULL info");
    CHECK(kirune_reader_decode(r, NULL, row16, row16 * h, 16) == KIRUNE_ERROR_INVALID_ARGUMENT, "NULL pixels");
    CHECK(kirune_reader_decode(r, again, row16 - 1, row16 * h, 16) == KIRUNE_ERROR_INVALID_ARGUMENT,
          "stride below a row");
    CHECK(strstr(kirune_reader_last_error(r), "stride") != NULL, "... and the detail says so");
    CHECK(kirune_reader_decode(r, again, row16, row16 * h - 1, 16) == KIRUNE_ERROR_INVALID_ARGUMENT,
          "buffer a byte short");
    CHECK(kirune_reader_decode(r, again, row16, row16 * h, 12) == KIRUNE_ERROR_INVALID_ARGUMENT, "12 bits");
    CHECK(kirune_reader_decode_strips(r, 16, NULL, NULL) == KIRUNE_ERROR_INVALID_ARGUMENT, "NULL callback");
    kirune_image bad = image;
    bad.stride = row16 - 6;
    void* none = &bad;
    size_t noneSize = 1;
    CHECK(kirune_writer_encode_to_memory(wr, &bad, &none, &noneSize, NULL) == KIRUNE_ERROR_INVALID_ARGUMENT &&
              none == NULL && noneSize == 0,
          "encode: stride below a row, nothing handed out");
    bad = image;
    bad.pixels = NULL;
    CHECK(kirune_writer_encode_to_memory(wr, &bad, &none, &noneSize, NULL) == KIRUNE_ERROR_INVALID_ARGUMENT,
          "encode: NULL pixels");
    CHECK(kirune_writer_encode_to_memory(wr, NULL, &none, &noneSize, NULL) == KIRUNE_ERROR_INVALID_ARGUMENT,
          "encode: NULL image");
    CHECK(kirune_writer_encode_to_memory(wr, &image, NULL, &noneSize, NULL) == KIRUNE_ERROR_INVALID_ARGUMENT,
          "encode: NULL output");
    CHECK(kirune_writer_set_preset(wr, 10) == KIRUNE_ERROR_INVALID_ARGUMENT, "preset 10");
    CHECK(kirune_writer_set_quality(wr, 12, 3) == KIRUNE_ERROR_INVALID_ARGUMENT, "sampling 3");
    CHECK(kirune_writer_set_psnr_target(wr, -1) == KIRUNE_ERROR_INVALID_ARGUMENT, "negative PSNR");
    for (int code = 0; code >= -12; --code) CHECK(kirune_error_message(code)[0] != '\0', "every code has a text");

    /* ---- damaged and hostile containers, through each entry point ---- */
    size_t body = bodySize(rpx, rpxSize);
    CHECK(body > 0 && body < rpxSize, "A has a trailer");
    /* A file cut short loses its trailer's footer and reads as an older
     * container: it opens, and decoding finds where it ends. */
    CHECK(kirune_reader_open_memory(r, rpx, rpxSize - 1) == KIRUNE_OK &&
              kirune_reader_decode(r, again, row16, row16 * h, 16) == KIRUNE_ERROR_DAMAGED,
          "cut by one byte, in memory");
    snprintf(path, sizeof path, "%s/truncated.rpx", argv[3]);
    writeFile(path, rpx, body / 2);
    CHECK(kirune_reader_open_path(r, path) == KIRUNE_OK &&
              kirune_reader_decode(r, again, row16, row16 * h, 16) == KIRUNE_ERROR_DAMAGED,
          "cut in half, from a path");
    CHECK(kirune_reader_open_memory(r, "RP2", 3) == KIRUNE_ERROR_NOT_RPX, "not a container");
    CHECK(kirune_reader_open_path(r, argv[3]) == KIRUNE_ERROR_IO, "a folder");
    /* Any byte changed in a container with checksums is caught, before or
     * during decoding, and never gives pixels. */
    unsigned char* copy = malloc(rpxSize);
    int caught = 0, tried = 0;
    for (size_t at = 0; at < rpxSize; at += rpxSize / 97 + 1, ++tried) {
        memcpy(copy, rpx, rpxSize);
        copy[at] ^= 0x5A;
        memset(again, 0x11, row16 * h);
        int rc = kirune_reader_open_memory(m, copy, rpxSize);
        if (rc == KIRUNE_OK) rc = kirune_reader_decode(m, again, row16, row16 * h, 16);
        caught += rc != KIRUNE_OK;
    }
    CHECK(caught == tried, "every damaged byte refused");
    /* Without a trailer nothing is checksummed: a file cut inside its last
     * strip opens, then fails to decode, and the buffer is cleared. */
    size_t cut = body - 40;
    CHECK(kirune_reader_open_memory(m, rpx, cut) == KIRUNE_OK, "cut inside the last strip, no trailer: opens");
    memset(again, 0x11, row16 * h);
    CHECK(kirune_reader_decode(m, again, row16, row16 * h, 16) == KIRUNE_ERROR_DAMAGED, "... decoding fails");
    CHECK(allZero(again, row16 * h), "... and no pixels are handed out");
    CHECK(kirune_reader_decode_strips(m, 8, countStrips, &count) == KIRUNE_ERROR_DAMAGED, "... strips too");
    snprintf(path, sizeof path, "%s/cut.rpx", argv[3]);
    writeFile(path, rpx, cut);
    CHECK(kirune_reader_open_path(m, path) == KIRUNE_OK &&
              kirune_reader_decode(m, again, row16, row16 * h, 16) == KIRUNE_ERROR_DAMAGED,
          "... from a path too");
    /* A header claiming a picture far larger than the file. */
    memcpy(copy, rpx, rpxSize);
    for (size_t i = 4; i < 24 && i < rpxSize; ++i) copy[i] = 0xFF;
    CHECK(kirune_reader_open_memory(m, copy, body) < 0, "a forged header");

    kirune_free(encoded);
    kirune_free(enc8);
    kirune_reader_free(r);
    kirune_reader_free(m);
    kirune_writer_free(wr);
    kirune_reader_free(NULL);
    kirune_writer_free(NULL);
    free(rpx), free(raw), free(pixels), free(p8), free(again), free(copy), free(file);
    printf("%s: %d failed\n", argv[0], failures);
    return failures ? 1 : 0;
}
