// GNOME Shell 43 and 44: the legacy extension form.
'use strict';
const {Gio, GLib, Meta, Shell} = imports.gi;
const Gdk = imports.gi.Gdk;
const Cairo = imports.cairo;
