#include "desktop/program_icon.h"

#include <cairo.h>
#include <gdk/gdk.h>

#include <cmath>

#include "common/file_helpers.h"
#include "desktop/launcher_state.h"
#include "platform/files.h"
#include "platform/folders.h"

namespace {

const int icon_size = 256;

cairo_surface_t* draw_icon() {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, icon_size, icon_size);
    cairo_t* cr = cairo_create(surface);
    // The rounded square, in the page's green (#2f6f5e).
    const double inset = 8, radius = 56, side = icon_size - 2 * inset;
    cairo_new_sub_path(cr);
    cairo_arc(cr, inset + side - radius, inset + radius, radius, -M_PI / 2, 0);
    cairo_arc(cr, inset + side - radius, inset + side - radius, radius, 0, M_PI / 2);
    cairo_arc(cr, inset + radius, inset + side - radius, radius, M_PI / 2, M_PI);
    cairo_arc(cr, inset + radius, inset + radius, radius, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
    cairo_set_source_rgb(cr, 0x2f / 255.0, 0x6f / 255.0, 0x5e / 255.0);
    cairo_fill(cr);
    // The "m": three stems joined by two arches.
    const double base = 172, arch_y = 112, arch_r = 28;
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_set_line_width(cr, 24);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    cairo_move_to(cr, 72, base);
    cairo_line_to(cr, 72, arch_y);
    cairo_arc(cr, 100, arch_y, arch_r, M_PI, 2 * M_PI);
    cairo_line_to(cr, 128, base);
    cairo_move_to(cr, 128, arch_y);
    cairo_arc(cr, 156, arch_y, arch_r, M_PI, 2 * M_PI);
    cairo_line_to(cr, 184, base);
    cairo_stroke(cr);
    cairo_destroy(cr);
    return surface;
}

cairo_status_t append_png(void* closure, const unsigned char* data, unsigned int length) {
    static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
    return CAIRO_STATUS_SUCCESS;
}

}  // namespace

std::string program_icon_png() {
    cairo_surface_t* surface = draw_icon();
    std::string png;
    if (cairo_surface_write_to_png_stream(surface, append_png, &png) != CAIRO_STATUS_SUCCESS) png.clear();
    cairo_surface_destroy(surface);
    return png;
}

std::filesystem::path ensure_program_icon_file() {
    const std::filesystem::path file = launcher.data_folder / "mivra-desktop.png";
    const std::string png = program_icon_png();
    std::string current;
    try {
        current = read_file_text(file);
    } catch (const std::exception&) {
        // missing: written below
    }
    if (!png.empty() && current != png) {
        create_private_folders(launcher.data_folder);
        write_file_atomic(file.string(), png);
    }
    return file;
}

_GdkPixbuf* program_icon_pixbuf() {
    cairo_surface_t* surface = draw_icon();
    GdkPixbuf* pixbuf = gdk_pixbuf_get_from_surface(surface, 0, 0, icon_size, icon_size);
    cairo_surface_destroy(surface);
    return pixbuf;
}
