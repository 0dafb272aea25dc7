// Under node, hands the host's environment to the program's getenv, so that
// TEX_THREADS reaches the engine as it does natively.
if (typeof process === 'object' && process.env) {
  Module['preRun'] = Module['preRun'] || [];
  Module['preRun'].push(function () {
    Object.assign(ENV, process.env);
  });
}
