/* A pointer for a compositor that has none: through the wlroots
 * virtual-pointer protocol (zwlr_virtual_pointer_manager_v1, version 1),
 * moves to a point of the output layout, presses the left button, holds it
 * for a moment and lets go. For tests in a headless session, where no input
 * device exists and clients would otherwise never see a pointer.
 *
 * usage: virtual_pointer X Y WIDTH HEIGHT [HOVER_MS]
 *   (X, Y) in the layout's logical coordinates, WIDTH x HEIGHT its size.
 *   With HOVER_MS it only moves there and stays that long, pressing nothing.
 * Exits 0 once the compositor has taken every request, 2 on bad arguments,
 * 1 when the compositor lacks the protocol or refuses a request.
 *
 * The protocol's messages are described here directly (their names and
 * argument signatures in the protocol's order); only those this program
 * sends matter, but the order fixes their numbers. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <wayland-client.h>

static const struct wl_interface zwlr_virtual_pointer_v1_interface;

static const struct wl_interface* create_types[] = {&wl_seat_interface,
                                                    &zwlr_virtual_pointer_v1_interface};
static const struct wl_interface* no_types[] = {NULL, NULL, NULL, NULL, NULL};

static const struct wl_message manager_requests[] = {
    {"create_virtual_pointer", "?on", create_types},
    {"destroy", "", no_types},
};
static const struct wl_interface zwlr_virtual_pointer_manager_v1_interface = {
    "zwlr_virtual_pointer_manager_v1", 1, 2, manager_requests, 0, NULL};

static const struct wl_message pointer_requests[] = {
    {"motion", "uff", no_types},   {"motion_absolute", "uuuuu", no_types},
    {"button", "uuu", no_types},   {"axis", "uuf", no_types},
    {"frame", "", no_types},       {"axis_source", "u", no_types},
    {"axis_stop", "uu", no_types}, {"axis_discrete", "uufi", no_types},
    {"destroy", "", no_types},
};
static const struct wl_interface zwlr_virtual_pointer_v1_interface = {
    "zwlr_virtual_pointer_v1", 1, 9, pointer_requests, 0, NULL};

enum { kMotionAbsolute = 1, kButton = 2, kFrame = 4, kDestroy = 8 };
enum { kButtonLeft = 0x110, kReleased = 0, kPressed = 1 };

struct globals {
    struct wl_seat* seat;
    struct zwlr_virtual_pointer_manager_v1* manager;
};

static void on_global(void* data, struct wl_registry* registry, uint32_t name,
                      const char* interface, uint32_t version) {
    struct globals* g = data;
    (void)version;
    if (strcmp(interface, "wl_seat") == 0 && !g->seat) {
        g->seat = wl_registry_bind(registry, name, &wl_seat_interface, 1);
    } else if (strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0) {
        g->manager =
            wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1);
    }
}
static void on_global_remove(void* data, struct wl_registry* registry, uint32_t name) {
    (void)data;
    (void)registry;
    (void)name;
}

static uint32_t now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint32_t)(t.tv_sec * 1000 + t.tv_nsec / 1000000);
}

static void pause_ms(long ms) {
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000};
    nanosleep(&t, NULL);
}

int main(int argc, char** argv) {
    if (argc != 5 && argc != 6) {
        fprintf(stderr, "usage: virtual_pointer X Y WIDTH HEIGHT [HOVER_MS]\n");
        return 2;
    }
    const long hover = argc == 6 ? atol(argv[5]) : -1;
    const long x = atol(argv[1]), y = atol(argv[2]), w = atol(argv[3]), h = atol(argv[4]);
    if (w <= 0 || h <= 0 || x < 0 || y < 0 || x >= w || y >= h || hover > 60000 ||
        (argc == 6 && hover < 0)) {
        fprintf(stderr, "virtual_pointer: the point is not in the layout\n");
        return 2;
    }
    struct wl_display* display = wl_display_connect(NULL);
    if (!display) {
        fprintf(stderr, "virtual_pointer: no Wayland display\n");
        return 1;
    }
    struct globals g = {NULL, NULL};
    static const struct wl_registry_listener listener = {on_global, on_global_remove};
    struct wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &listener, &g);
    if (wl_display_roundtrip(display) < 0 || !g.manager) {
        fprintf(stderr, "virtual_pointer: the compositor has no virtual pointers\n");
        if (g.seat) {
            wl_proxy_destroy((struct wl_proxy*)g.seat);
        }
        wl_registry_destroy(registry);
        wl_display_disconnect(display);
        return 1;
    }
    struct wl_proxy* pointer = wl_proxy_marshal_constructor(
        (struct wl_proxy*)g.manager, 0, &zwlr_virtual_pointer_v1_interface, g.seat, NULL);
    /* The new device gives the seat a pointer: clients bind theirs before
     * anything happens. */
    wl_display_roundtrip(display);
    pause_ms(500);
    wl_proxy_marshal(pointer, kMotionAbsolute, now_ms(), (uint32_t)x, (uint32_t)y, (uint32_t)w,
                     (uint32_t)h);
    wl_proxy_marshal(pointer, kFrame);
    wl_display_roundtrip(display);
    if (hover >= 0) {
        /* A second motion within the point's neighbourhood: the first only
         * brings the pointer in, and a client sees the motion after it. */
        pause_ms(100);
        wl_proxy_marshal(pointer, kMotionAbsolute, now_ms(), (uint32_t)x + 1, (uint32_t)y + 1,
                         (uint32_t)w, (uint32_t)h);
        wl_proxy_marshal(pointer, kFrame);
        wl_display_roundtrip(display);
        pause_ms(hover);
    } else {
        pause_ms(300);
        wl_proxy_marshal(pointer, kButton, now_ms(), (uint32_t)kButtonLeft, (uint32_t)kPressed);
        wl_proxy_marshal(pointer, kFrame);
        wl_display_roundtrip(display);
        pause_ms(300);
        wl_proxy_marshal(pointer, kButton, now_ms(), (uint32_t)kButtonLeft, (uint32_t)kReleased);
        wl_proxy_marshal(pointer, kFrame);
    }
    wl_proxy_marshal(pointer, kDestroy);
    wl_proxy_destroy(pointer);
    wl_proxy_marshal((struct wl_proxy*)g.manager, 1); /* destroy */
    wl_proxy_destroy((struct wl_proxy*)g.manager);
    if (g.seat) {
        wl_proxy_destroy((struct wl_proxy*)g.seat);
    }
    wl_registry_destroy(registry);
    const int ok = wl_display_roundtrip(display) >= 0;
    wl_display_disconnect(display);
    return ok ? 0 : 1;
}
