// The viewer's right-button menus (window mode only) and the two switches
// they share with the keyboard: coarse/smooth colours and window/full screen.
#pragma once

// Menu values: the character codes of f, p, r, s, w and Escape. The two menus
// have separate handlers, so 'r' is "reset" in the view menu and "radiosity
// solution" in the export submenu.
enum MenuValue {
    MENU_EXIT = 27,
    MENU_EXPORT_FORM_FACTORS = 'f',
    MENU_EXPORT_PATCH_VERTICES = 'p',
    MENU_EXPORT_SOLUTION = 'r',
    MENU_RESET = 'r',
    MENU_SHADING = 's',
    MENU_FULL_SCREEN = 'w',
};

// true while the window is in full screen; false at start.
extern bool full_screen;

// GLUT id of the view menu; 0 until build_menus (and always in game mode).
extern int view_menu_id;

// Builds the export submenu and the view menu, attaches the view menu to the
// right button and leaves it GLUT's current menu. Needs the window.
void build_menus();

// GLUT callback of the view menu: reset, coarse/smooth, full screen, exit.
void view_menu(int value);

// GLUT callback of the export submenu (export_menu.cpp): 102 writes FF.TXT,
// 112 PATCHES.TXT, 114 SOLUTION.TXT (creation failures: codes 40, 41, 42),
// each followed by a message on standard output and a redisplay. Other values
// do nothing.
void export_menu(int value);

// Flips smooth_shading, reloads color_array from VERTRAD.BIN (smooth) or
// PATCHRAD.BIN (coarse), relabels view menu entry 2 and says which mode is
// now drawn. Loader failures end the process (codes 20-23, 30-32).
void toggle_shading();

// Flips full_screen, relabels view menu entry 3, and enters full screen or
// returns the window to the configured position and size. The caller posts
// the redisplay.
void toggle_full_screen();

// Called by reshape with the new size. While the window is coming back from
// full screen, puts it at the configured position and size again when GLUT or
// the window manager has re-applied the size from before full screen.
void keep_configured_geometry(int width, int height);
