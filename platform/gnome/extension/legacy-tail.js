
class Extension {
    constructor(dir) {
        this._dir = dir;
        this._service = null;
    }

    enable() {
        this._service = new CompanionService(this._dir);
        this._service.enable();
    }

    disable() {
        if (this._service) this._service.disable();
        this._service = null;
    }
}

function init(meta) {
    const dir = meta && meta.path ? meta.path
        : imports.misc.extensionUtils.getCurrentExtension().path;
    return new Extension(dir);
}
