/* gdk-pixbuf loader for .rpx containers, on libkirune: every program that
 * loads images through gdk-pixbuf (image viewers, GTK file choosers) shows
 * them. gdk-pixbuf holds 8 bits per channel, so the 16-bit samples are
 * rounded as `rpx --bmp` rounds them. Both checksums are verified before a
 * picture is handed over; a damaged file, or one over a gigapixel, is a
 * GError, never a crash of the host. */
#include <kirune/kirune.h>

#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf-io.h>
#undef GDK_PIXBUF_ENABLE_BACKEND

#include <stdio.h>
#include <string.h>

/* A header can claim anything; a viewer should not be made to allocate it. */
#define RPX_MAX_PIXELS ((uint64_t)1 << 30)

static void set_error(GError** error, int code, const kirune_reader* reader) {
    const char* detail = kirune_reader_last_error(reader);
    g_set_error(
        error, GDK_PIXBUF_ERROR,
        code == KIRUNE_ERROR_OUT_OF_MEMORY ? GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY : GDK_PIXBUF_ERROR_CORRUPT_IMAGE,
        "Cannot read the .rpx picture: %s", *detail ? detail : kirune_error_message(code));
}

/* The whole picture from a container in memory; size_func (may be NULL)
 * is told the size first and may cancel by setting it to 0. */
static GdkPixbuf* decode(const guint8* data, gsize size, GdkPixbufModuleSizeFunc size_func, gpointer user,
                         GError** error) {
    kirune_reader* reader = kirune_reader_create();
    if (!reader) {
        g_set_error_literal(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "Out of memory");
        return NULL;
    }
    GdkPixbuf* pixbuf = NULL;
    kirune_info info;
    int rc = kirune_reader_set_max_pixels(reader, RPX_MAX_PIXELS);
    if (rc == KIRUNE_OK) rc = kirune_reader_open_memory(reader, data, size);
    if (rc == KIRUNE_OK) rc = kirune_reader_info(reader, &info);
    if (rc != KIRUNE_OK) {
        set_error(error, rc, reader);
        goto done;
    }
    if (size_func) {
        int w = (int)info.width, h = (int)info.height;
        size_func(&w, &h, user);
        if (w == 0 || h == 0) {
            g_set_error_literal(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_FAILED, "Loading was cancelled");
            goto done;
        }
    }
    pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, (int)info.width, (int)info.height);
    if (!pixbuf) {
        g_set_error(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY,
                    "Not enough memory for a %u x %u picture", info.width, info.height);
        goto done;
    }
    rc = kirune_reader_decode(reader, gdk_pixbuf_get_pixels(pixbuf), (size_t)gdk_pixbuf_get_rowstride(pixbuf),
                              gdk_pixbuf_get_byte_length(pixbuf), 8);
    if (rc != KIRUNE_OK) {
        set_error(error, rc, reader);
        g_clear_object(&pixbuf);
        goto done;
    }
    if (info.orientation > 1) {
        char orientation[2] = {(char)('0' + info.orientation), '\0'};
        gdk_pixbuf_set_option(pixbuf, "orientation", orientation);
    }
done:
    kirune_reader_free(reader);
    return pixbuf;
}

static GdkPixbuf* load(FILE* f, GError** error) {
    GByteArray* bytes = g_byte_array_new();
    guint8 chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) g_byte_array_append(bytes, chunk, (guint)n);
    GdkPixbuf* pixbuf = NULL;
    if (ferror(f))
        g_set_error_literal(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_FAILED, "Cannot read the .rpx file");
    else
        pixbuf = decode(bytes->data, bytes->len, NULL, NULL, error);
    g_byte_array_unref(bytes);
    return pixbuf;
}

/* Incremental loading (GdkPixbufLoader): the bytes are gathered and the
 * picture decoded once they are all there, since its checksums cover the
 * whole file. */
typedef struct {
    GdkPixbufModuleSizeFunc size_func;
    GdkPixbufModulePreparedFunc prepared_func;
    GdkPixbufModuleUpdatedFunc updated_func;
    gpointer user;
    GByteArray* bytes;
} LoadContext;

static gpointer begin_load(GdkPixbufModuleSizeFunc size_func, GdkPixbufModulePreparedFunc prepared_func,
                           GdkPixbufModuleUpdatedFunc updated_func, gpointer user, GError** error) {
    (void)error;
    LoadContext* c = g_new0(LoadContext, 1);
    c->size_func = size_func;
    c->prepared_func = prepared_func;
    c->updated_func = updated_func;
    c->user = user;
    c->bytes = g_byte_array_new();
    return c;
}

static gboolean load_increment(gpointer context, const guchar* buf, guint size, GError** error) {
    (void)error;
    LoadContext* c = context;
    g_byte_array_append(c->bytes, buf, size);
    return TRUE;
}

static gboolean stop_load(gpointer context, GError** error) {
    LoadContext* c = context;
    GdkPixbuf* pixbuf = decode(c->bytes->data, c->bytes->len, c->size_func, c->user, error);
    if (pixbuf) {
        if (c->prepared_func) c->prepared_func(pixbuf, NULL, c->user);
        if (c->updated_func)
            c->updated_func(pixbuf, 0, 0, gdk_pixbuf_get_width(pixbuf), gdk_pixbuf_get_height(pixbuf), c->user);
        g_object_unref(pixbuf);
    }
    g_byte_array_unref(c->bytes);
    g_free(c);
    return pixbuf != NULL;
}

G_MODULE_EXPORT void fill_vtable(GdkPixbufModule* module) {
    module->load = load;
    module->begin_load = begin_load;
    module->stop_load = stop_load;
    module->load_increment = load_increment;
}

G_MODULE_EXPORT void fill_info(GdkPixbufFormat* info) {
    /* "RP2" with each byte XOR 0xB4, then a NUL, as the MIME type's magic. */
    static GdkPixbufModulePattern signature[] = {{(char*)"\xe6\xe4\x86x", (char*)"   z", 100}, {NULL, NULL, 0}};
    static gchar* mime_types[] = {(gchar*)"application/x-kirune-rpx", NULL};
    static gchar* extensions[] = {(gchar*)"rpx", NULL};
    info->name = (gchar*)"rpx";
    info->signature = signature;
    info->description = (gchar*)"Kirune compressed photograph";
    info->mime_types = mime_types;
    info->extensions = extensions;
    info->flags = GDK_PIXBUF_FORMAT_THREADSAFE;
    info->license = (gchar*)"Kirune";
}
