// The script and the stylesheet that every folder page of an album links to. The album is opened
// from disk (file://) with no server behind it, so both are plain files that the job writes once
// under DEST/.album/ (album.js and album.css), and neither asks anything of the network.
#pragma once

// album.js: the picture viewer (open on a click, arrow keys and swipes to turn, Escape to close).
const char* AlbumScript();
// album.css: the folder pages' grid, readable on a phone, and the viewer over them.
const char* AlbumStyle();
