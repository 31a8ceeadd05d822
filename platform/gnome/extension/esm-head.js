// GNOME Shell 45 and later: the extension as an ES module.
import Gio from 'gi://Gio';
import GLib from 'gi://GLib';
import Meta from 'gi://Meta';
import Shell from 'gi://Shell';
import Gdk from 'gi://Gdk';
import Cairo from 'cairo';
import {Extension} from 'resource:///org/gnome/shell/extensions/extension.js';
