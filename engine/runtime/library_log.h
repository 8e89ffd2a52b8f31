// The one filter between the libraries' log lines (ggml, libllama, llama-common) and this program's stderr.
//
// Every command installs it at start, so stderr carries this program's own lines. What still passes:
// - ggml's and libllama's errors (with their continuation lines) where they say something our own line does not:
//   a backend or a buffer that failed. Their other levels (information, warnings, debug: the backend loader's
//   "load_backend: ..." lines, every key of a model file, the repacking of weights) are dropped.
// - Not the errors of the file readers, the GGUF reader's ("gguf_init_from_file...: ...") and libllama's model
//   loader's ("llama_model_load...: ..."): every caller of them reports the failure itself ("cannot read GGUF ...",
//   "cannot load ...", "cannot load vocabulary from core.gguf"), and the reader's reasons quote file contents.
// - Nothing of llama-common: its lines quote templates, requests and the model's output (a parse warning copies
//   the whole reply), while every failure of it reaches our own code as an exception, which says what failed.
//   Its messages are not even formatted.
//
// Threads: install it on the main thread before other threads run (llama-common's threshold is a plain global);
// installing it again changes nothing. The filter itself is called on any thread.
#pragma once

void install_library_log_filter();
