#pragma once

// Hex text of bytes and bytes of hex text: the one place the library converts between them.
